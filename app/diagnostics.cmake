# The diagnostic handler and the per-run error log, kept apart from the rest
# of the start-up so that its tests need nothing else.
add_library(corvid_diag STATIC
  ${CMAKE_CURRENT_LIST_DIR}/CorvidDiagnostics.h
  ${CMAKE_CURRENT_LIST_DIR}/CorvidDiagnostics.cpp
)
target_link_libraries(corvid_diag PUBLIC Qt5::Core)
