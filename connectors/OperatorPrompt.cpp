#include "connectors/OperatorPrompt.h"

namespace {
HeadlessPrompt g_headless;
OperatorPrompt *g_prompt = nullptr;
}  // namespace

OperatorPrompt &corvid_prompt()
{
    return g_prompt ? *g_prompt : g_headless;
}

void corvid_set_prompt(OperatorPrompt *prompt)
{
    g_prompt = prompt;
}
