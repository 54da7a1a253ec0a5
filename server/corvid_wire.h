#pragma once
// Framing between the server and the control applications over TCP. Everything
// here is pure byte work: builders return a whole frame ready for one write,
// parsers read a whole frame and refuse anything that would reach past its end,
// and CorvidFrameReceiver cuts frames out of one connection's byte stream.
// All integers on the wire are little-endian.

#include "engine/corvid_types.h"

#include <QByteArray>
#include <QVector>
#include <cstdint>
#include <initializer_list>
#include <optional>

// Frame kinds: the 32-bit value at offset 2 (16-bit kind, 16-bit reserved 0).
enum crs_frame_kind : uint32_t {
    FrameMsg2Sat = 0x1000,   // application -> server: message for the bus
    FrameAppInfo = 0x1001,   // application -> server: who I am
    FrameMsg2App = 0x2000,   // server -> application (or an injected message)
    FrameSrvInfo = 0x2001,   // server -> application: who the server is
    FrameSrvState = 0x2002,  // server -> application: hardware link state
};

constexpr uint16_t CRS_START_MARKER = 0xBA5E;  // bytes 5E BA
constexpr uint16_t CRS_END_MARKER = 0xBA11;    // bytes 11 BA
constexpr int CRS_FRAME_FIXED = 12;            // markers, kind, reserved, length
constexpr int CRS_PAYLOAD_OFFSET = 10;
constexpr int CRS_HUNT_MIN = 10;               // bytes needed to recognise a frame start

constexpr int CRS_APP_TO_CORVID_SIZE = 12;
constexpr int CRS_CORVID_TO_APP_SIZE = 40;
constexpr int CRS_APP_INFO_SIZE = 44;
constexpr int CRS_SERVER_INFO_SIZE = 64;
constexpr int CRS_SERVER_STATE_SIZE = 24;
constexpr int CRS_AX25_HEADER_SIZE = 17;
constexpr int CRS_NAME_SIZE = 32;

// No well-formed frame is longer: a message frame with 65,535 data bytes and
// an AX.25 header. A length field above this is garbage, not a frame to wait for.
constexpr int CRS_MAX_FRAME_SIZE = CRS_FRAME_FIXED + CRS_CORVID_TO_APP_SIZE + 65535 + CRS_AX25_HEADER_SIZE;

constexpr uint32_t CRS_APP_VERSION = 100;
constexpr uint32_t CRS_SERVER_VERSION = 100;
constexpr char CRS_SERVER_NAME[] = "Corvid dedicated server";
constexpr char CRS_APP_NAME[] = "Corvid control center";

// Header of a FrameMsg2Sat frame; `length` data bytes follow it.
struct crs_app_to_corvid_t {
    uint32_t recId = 0;
    uint16_t msg_id = 0;
    uint16_t address_from = 0;
    uint16_t address_to = 0;
    uint16_t length = 0;
};

// Header of a FrameMsg2App frame; `length` data bytes and maybe an AX25Header follow.
struct crs_corvid_to_app_t {
    uint32_t dir = 0;      // 1 toward the bus, 0 from it
    uint32_t status = 0;
    int64_t time_ms = 0;   // UTC, ms since the epoch
    uint64_t stampId = 0;
    uint32_t tag = 0;
    uint16_t msg_id = 0;
    uint16_t address_from = 0;
    uint16_t address_to = 0;
    uint16_t length = 0;
};

// Payload of FrameAppInfo. `name` holds the 8-bit text without padding (at most 32 bytes).
struct crs_app_info_t {
    uint32_t version = CRS_APP_VERSION;
    QByteArray name;
    uint8_t observer = 0;  // 1 = Observer, anything else = Manager
};

// Payload of FrameSrvInfo.
struct crs_server_info_t {
    uint32_t version = CRS_SERVER_VERSION;
    uint32_t one = 1;      // always 1 on the wire; receivers ignore it
    int64_t time_ms = 0;
    QByteArray name;
};

// Payload of FrameSrvState.
struct crs_server_state_t {
    uint32_t hw_state = 0;  // AbstractConnector::HWState value
    uint32_t hw_error = 0;
};

// One frame cut out of a stream: its kind and all its bytes, markers included.
struct crs_frame_t {
    uint32_t kind = 0;
    QByteArray bytes;
};

// A message frame taken apart. `data` is a private copy of the message bytes.
struct crs_msg2sat_t {
    crs_app_to_corvid_t header;
    QByteArray data;
    corvid_message message() const;  // points into `data`; valid while this lives
};

struct crs_msg2app_t {
    crs_corvid_to_app_t header;
    QByteArray data;
    bool hasAx25 = false;
    AX25Header ax25;
    corvid_message message() const;  // points into `data`; valid while this lives
};

// --- payload encoders (exact wire size each) ---
QByteArray encodeAppToCorvid(const crs_app_to_corvid_t &h);
QByteArray encodeCorvidToApp(const crs_corvid_to_app_t &h);
QByteArray encodeAppInfo(const crs_app_info_t &info);
QByteArray encodeServerInfo(const crs_server_info_t &info);
QByteArray encodeServerState(const crs_server_state_t &state);

// --- frame builders ---
// Start marker, kind, 0, length = payload size + 12, payload, end marker.
QByteArray buildFrame(uint32_t kind, const QByteArray &payload);
// Fixed part around `header`, then the message's `length` data bytes (zeros when
// `data` is null), then the 17 AX.25 header bytes when `ax25` is given.
QByteArray buildMsgFrame(uint32_t kind, const QByteArray &header, const corvid_message &msg,
                         const AX25Header *ax25 = nullptr);
// The time stamped into built frames: UTC ms since the epoch, from the system
// clock unless another is set (tests set one they control; nullptr restores it).
using crs_clock_fn = int64_t (*)();
void crs_set_clock(crs_clock_fn clock);
int64_t crs_now_ms();

// FrameMsg2App stamped with crs_now_ms().
QByteArray buildMsg2AppFrame(const corvid_message &msg, uint64_t stampId, uint32_t status, uint32_t dir,
                             uint32_t tag, const AX25Header *ax25 = nullptr);
QByteArray buildSrvInfoFrame();
QByteArray buildSrvStateFrame(uint32_t hw_state, uint32_t hw_error);
// The two frames only applications send.
QByteArray buildMsg2SatFrame(uint32_t recId, const corvid_message &msg);
QByteArray buildAppInfoFrame(uint32_t version, const QByteArray &name, bool observer);

// --- frame parsers: take one whole frame (as crs_frame_t::bytes), check its kind,
// its length and that every field lies inside it; nullopt otherwise ---
std::optional<crs_msg2sat_t> parseMsg2SatFrame(const QByteArray &frame);
// The AX.25 header is taken when the frame is exactly 17 bytes longer than its data needs.
std::optional<crs_msg2app_t> parseMsg2AppFrame(const QByteArray &frame);
// Also requires the end marker at the frame's end.
std::optional<crs_app_info_t> parseAppInfoFrame(const QByteArray &frame);
std::optional<crs_server_info_t> parseSrvInfoFrame(const QByteArray &frame);
std::optional<crs_server_state_t> parseSrvStateFrame(const QByteArray &frame);

// Name field reading: bytes up to the first NUL, at most 32.
QByteArray crs_read_name(const char *field32);

// Receive procedure for one connection: feed it whatever the socket delivered and
// take whole frames out. It hunts for a start marker followed by one of the
// accepted kinds, waits until the frame's length has arrived, and hands the
// frame over. Start bytes too few to recognise are kept for the next feed; a
// length field that no well-formed frame of that kind can have is garbage and
// the hunt goes on at the next byte; a whole frame whose message `length` does
// not fit inside it is dropped (counted in rejectedFrames()).
class CorvidFrameReceiver {
public:
    // Kinds accepted by each end, in the order they are tested.
    static const QVector<uint32_t> &serverKinds();  // FrameAppInfo, FrameMsg2Sat, FrameMsg2App
    static const QVector<uint32_t> &clientKinds();  // FrameSrvInfo, FrameMsg2App, FrameSrvState

    explicit CorvidFrameReceiver(const QVector<uint32_t> &acceptedKinds);

    void append(const QByteArray &bytes);
    // Next whole frame, if the buffer holds one.
    bool takeFrame(crs_frame_t &frame);
    // append() then every whole frame now available.
    QVector<crs_frame_t> feed(const QByteArray &bytes);

    uint32_t state() const { return m_state; }  // 0 idle, else the kind being received
    int32_t expectedLength() const { return m_expected; }
    int bufferedBytes() const { return m_buffer.size() - m_head; }
    uint64_t rejectedFrames() const { return m_rejected; }
    void clear();

private:
    bool hunt();

    QVector<uint32_t> m_kinds;
    QByteArray m_buffer;
    int m_head = 0;         // bytes already consumed at the front of m_buffer
    uint32_t m_state = 0;
    int32_t m_expected = 0;
    uint64_t m_rejected = 0;
};
