#include "record/recording_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "record/detector.h"
#include "record/folder.h"
#include "version.h"

namespace {

FLAC__StreamEncoderWriteStatus write_out(const FLAC__StreamEncoder*, const FLAC__byte bytes[],
                                         size_t size, uint32_t, uint32_t, void* data) {
  auto* file = static_cast<RecordingFile*>(data);
  while (size > 0) {
    const ssize_t done = write(file->fd, bytes, size);
    if (done < 0 && errno == EINTR) {
      continue;
    }
    if (done <= 0) {
      file->error = done < 0 ? errno : ENOSPC;
      return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
    }
    bytes += done;
    size -= size_t(done);
  }
  return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
}

FLAC__StreamEncoderSeekStatus seek_out(const FLAC__StreamEncoder*, FLAC__uint64 offset,
                                       void* data) {
  auto* file = static_cast<RecordingFile*>(data);
  return lseek(file->fd, off_t(offset), SEEK_SET) < 0 ? FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR
                                                      : FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
}

FLAC__StreamEncoderTellStatus tell_out(const FLAC__StreamEncoder*, FLAC__uint64* offset,
                                       void* data) {
  const off_t at = lseek(static_cast<RecordingFile*>(data)->fd, 0, SEEK_CUR);
  *offset = FLAC__uint64(at);
  return at < 0 ? FLAC__STREAM_ENCODER_TELL_STATUS_ERROR : FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

void add_tag(FLAC__StreamMetadata* tags, const char* name, const std::string& value) {
  FLAC__StreamMetadata_VorbisComment_Entry entry;
  if (FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair(&entry, name, value.c_str())) {
    FLAC__metadata_object_vorbiscomment_append_comment(tags, entry, false);
  }
}

tm local_time(const FileLabel& label) {
  const time_t second = time_t(label.began_ns / 1000000000);
  tm local{};
  localtime_r(&second, &local);
  return local;
}

// The tags, from the time the first sound came.
FLAC__StreamMetadata* tags_of(const FileLabel& label) {
  const tm local = local_time(label);
  char date[64], zone[8], iso[96];
  strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  strftime(zone, sizeof zone, "%z", &local);  // +0100, which ISO 8601 writes +01:00
  snprintf(iso, sizeof iso, "%s.%03ld%.3s:%s", date, long(label.began_ns % 1000000000 / 1000000),
           zone, zone + 3);
  FLAC__StreamMetadata* tags = FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT);
  add_tag(tags, "DATE", iso);
  if (!label.khz.empty()) {
    add_tag(tags, "FREQUENCY", label.khz + " kHz");
    add_tag(tags, "TITLE", label.khz + " kHz, " + iso);
  }
  if (!label.demod.empty()) {
    add_tag(tags, "DEMODULATION", label.demod);
  }
  if (label.unsynced) {
    add_tag(tags, "CLOCK", "not synchronised: the time may be wrong");
  }
  add_tag(tags, "ENCODER", "orvctl-record " ORVCTL_VERSION);
  return tags;
}

// Lets go of the encoder and tags, and of the descriptor (which the encoder no longer uses).
void close_file(RecordingFile& file) {
  if (file.encoder != nullptr) {
    FLAC__stream_encoder_delete(file.encoder);
  }
  if (file.tags != nullptr) {
    FLAC__metadata_object_delete(file.tags);
  }
  if (file.fd >= 0) {
    close(file.fd);
  }
  file.encoder = nullptr;
  file.tags = nullptr;
  file.fd = -1;
}

// Gives the whole file its name in the folder: the first of NAME.flac, NAME-2.flac, ... that does
// not exist, never replacing one.
bool name_file(RecordingFile& file) {
  const std::string self = "/proc/self/fd/" + std::to_string(file.fd);
  for (int n = 1; n < 1000; ++n) {
    std::string name = file.name;
    if (n > 1) {
      name += '-';
      name += std::to_string(n);
    }
    name += ".flac";
    const int done =
        !file.part.empty()
            ? renameat2(file.dir, file.part.c_str(), file.dir, name.c_str(), RENAME_NOREPLACE)
            : linkat(AT_FDCWD, self.c_str(), file.dir, name.c_str(), AT_SYMLINK_FOLLOW);
    if (done == 0) {
      file.name = name;
      file.part.clear();
      return true;
    }
    if (errno != EEXIST) {
      file.error = errno;
      return false;
    }
  }
  file.error = EEXIST;
  return false;
}

}  // namespace

std::string recording_stamp(time_t second) {
  tm local{};
  localtime_r(&second, &local);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d_%H%M%S", &local);
  // The hour the clocks go back comes twice: its first time is written with "A" after the hour,
  // its second with "B" (02A3000, 02B3000), so that the names still sort in time and never meet.
  for (const time_t day : {86400, -86400}) {
    const time_t later = second + day;
    tm then{};
    localtime_r(&later, &then);
    const time_t other = second + (local.tm_gmtoff - then.tm_gmtoff);
    tm twin{};
    localtime_r(&other, &twin);
    if (other != second && twin.tm_year == local.tm_year && twin.tm_yday == local.tm_yday &&
        twin.tm_hour == local.tm_hour && twin.tm_min == local.tm_min &&
        twin.tm_sec == local.tm_sec) {
      return std::string(text, 13) + (second < other ? 'A' : 'B') + (text + 13);
    }
  }
  return text;
}

std::string recording_name(const FileLabel& label) {
  std::string text = recording_stamp(time_t(label.began_ns / 1000000000));
  if (!label.khz.empty()) {
    text += "_" + label.khz + "kHz";
  }
  if (label.unsynced) {
    text += "_unsynced";
  }
  return text;
}

bool recording_start(RecordingFile& file, const Folder& folder, const FileLabel& label) {
  file = RecordingFile{};
  file.name = recording_name(label);
  file.began_ns = label.began_ns;
  file.dir = folder.fd;
  file.fd = folder_new_file(folder, file.part);
  if (file.fd < 0) {
    file.error = errno;
    return false;
  }
  file.tags = tags_of(label);
  file.encoder = FLAC__stream_encoder_new();
  FLAC__stream_encoder_set_channels(file.encoder, 1);
  FLAC__stream_encoder_set_bits_per_sample(file.encoder, 16);
  FLAC__stream_encoder_set_sample_rate(file.encoder, kRecordRate);
  FLAC__stream_encoder_set_compression_level(file.encoder, 5);
  FLAC__stream_encoder_set_metadata(file.encoder, &file.tags, 1);
  if (FLAC__stream_encoder_init_stream(file.encoder, write_out, seek_out, tell_out, nullptr,
                                       &file) != FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
    file.error = file.error != 0 ? file.error : EIO;
    recording_drop(file);
    return false;
  }
  return true;
}

bool recording_encode(RecordingFile& file, const int16_t* samples, size_t count) {
  FLAC__int32 wide[4096];
  while (count > 0) {
    const size_t n = std::min(count, sizeof wide / sizeof wide[0]);
    for (size_t i = 0; i < n; ++i) {
      wide[i] = samples[i];
      file.peak = std::max(file.peak, std::abs(wide[i]));
    }
    if (!FLAC__stream_encoder_process_interleaved(file.encoder, wide, uint32_t(n))) {
      file.error = file.error != 0 ? file.error : EIO;
      return false;
    }
    samples += n;
    count -= n;
    file.samples += n;
  }
  return true;
}

bool recording_finish(RecordingFile& file) {
  bool kept = FLAC__stream_encoder_finish(file.encoder) && file.error == 0;
  if (!kept && file.error == 0) {
    file.error = EIO;
  }
  // The file's data on the disk before its name, and its name after it: a power cut leaves the
  // file whole or not there.
  // Its time as its modification time too: a listing by time, an age rule (systemd-tmpfiles',
  // the recorder's own) go by when the transmission was.
  const timespec times[2] = {{file.began_ns / 1000000000, file.began_ns % 1000000000},
                             {file.began_ns / 1000000000, file.began_ns % 1000000000}};
  struct stat st {};
  if (kept && (futimens(file.fd, times) != 0 || fsync(file.fd) != 0 || fstat(file.fd, &st) != 0)) {
    kept = false;
    file.error = errno;
  }
  file.bytes = int64_t(st.st_blocks) * 512;
  file.ino = st.st_ino;
  kept = kept && name_file(file);
  if (kept && fsync(file.dir) != 0 && errno != EINVAL) {
    file.error = errno;  // (named, but maybe not on the disk: kept all the same)
  }
  if (!kept) {
    recording_drop(file);
    return false;
  }
  close_file(file);
  return true;
}

void recording_drop(RecordingFile& file) {
  if (!file.part.empty()) {
    unlinkat(file.dir, file.part.c_str(), 0);
    file.part.clear();
  }
  close_file(file);
}
