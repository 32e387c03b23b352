// The link to the receiver board on SPI0: the board's command set on top of four hardware
// functions. Every frame is exchanged in place: the reply overwrites what was sent, byte for byte.
#pragma once

#include <cstdint>

// Command codes (byte 2 of a frame).
constexpr uint8_t CMD_VERSION = 0x60;
constexpr uint8_t CMD_CONTROL = 0x40;
constexpr uint8_t CMD_FREQUENCY = 0xF0;
constexpr uint8_t CMD_PLAYBACK = 0x56;
constexpr uint8_t CMD_STATUS = 0xF8;
constexpr uint8_t CMD_BUFCOUNT = 0x54;
constexpr uint8_t CMD_AUDIO = 0x50;

// Byte 0 of a frame.
constexpr uint8_t kDirectionWrite = 0x00;
constexpr uint8_t kDirectionRead = 0x01;

constexpr uint32_t kSampleRate = 48000;                        // the board's audio, per second
constexpr uint32_t kBlockSamples = kSampleRate / 4;            // 0.25 s
constexpr uint32_t kAudioHeaderLength = 3;                     // audio starts at buffer[3]
constexpr uint32_t kAudioFrameLength = 3 + 2 * kBlockSamples;  // 24003
constexpr uint32_t kLongestCommandFrame = 8;                   // the frequency frame

// The link's state, held by the driver for the whole run. Buf carries every frame but the
// audio block. LongestFrame is the longest frame the run will exchange (the audio block's when
// it relays audio): a link whose transfers are limited checks it when it sets up.
struct BoardLink {
  uint8_t Buf[100];
  uint32_t LongestFrame = kAudioFrameLength;
};

// The audio block frame: 3 header bytes, then 12000 signed 16-bit little-endian samples. Only
// board_read_audio writes it; the relay hands &buffer[3] to the sound output as it is.
extern uint8_t buffer[kAudioFrameLength];

// --- The four functions that reach the hardware; one file per kind of link provides them. ---

// The link's name, as the metrics tell which build runs: "bcm2835", "spidev", "simulated".
extern const char* const board_link_name;

// Opens the link. On failure the link's own reason has been reported and nothing else of the
// link may be used.
bool board_init(BoardLink& link);
// Configures SPI0 (mode 0, clock divider 32, chip select 0). On failure a message that says
// what to do has been printed; the link is still open and must be closed.
bool board_spi_setup(BoardLink& link);
// One frame in one chip-select assertion, in place.
void board_exchange(BoardLink& link, uint8_t* bytes, uint32_t length);
void board_close(BoardLink& link);

// --- The board's command set. ---

struct FirmwareVersion {
  uint8_t major;
  uint8_t minor;
};

struct BoardStatus {
  uint8_t RSSI;
  uint8_t AGC;
  uint8_t byte5;
  uint8_t byte6;
};

// Control payload from the three flags of the run: demodulation in bits 0-1 (0 narrow band FM,
// 1 AM, 2 wide band FM; WB wins over AM), bit 2 set for the HF antenna.
uint8_t board_control_byte(uint8_t AM, uint8_t WB, uint8_t HF);

FirmwareVersion board_read_version(BoardLink& link);
void board_set_control(BoardLink& link, uint8_t ControlByte);
void board_set_frequency(BoardLink& link, uint32_t FreqInHz);
void board_start_playback(BoardLink& link);
BoardStatus board_read_status(BoardLink& link);
// The board's buffer fill, compared with kBlockSamples before each audio read.
unsigned board_read_count(BoardLink& link);
// Fetches one block into buffer[3..]. Only the header is written first: the filler clocked out
// is the previous block.
void board_read_audio(BoardLink& link);
