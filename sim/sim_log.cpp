#include "sim/sim_log.h"

#include <zlib.h>

#include <cstdio>

#include "board/board_link.h"

SimLogLine sim_log_line(const uint8_t* sent, uint32_t length, const uint8_t* reply) {
  SimLogLine line;
  const uint32_t shown = length > 16 ? 3 : length;
  int used = 0;
  for (uint32_t i = 0; i < shown; ++i) {
    used += std::snprintf(line.text + used, sizeof line.text - used, i == 0 ? "%02x" : " %02x",
                          static_cast<unsigned>(sent[i]));
  }
  if (length > shown) {
    used += std::snprintf(line.text + used, sizeof line.text - used, " +%lu",
                          static_cast<unsigned long>(length - shown));
  }
  if (length > 3 && sent[0] == kDirectionRead && sent[2] == CMD_AUDIO) {
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), reply + 3, length - 3);
    used += std::snprintf(line.text + used, sizeof line.text - used, " crc32=%08lx",
                          static_cast<unsigned long>(crc));
  }
  used += std::snprintf(line.text + used, sizeof line.text - used, "\n");
  line.size = static_cast<size_t>(used);
  return line;
}
