// orvctl-record's command line:
//   orvctl-record [--level DB] [--hang S] [--pre-roll S] [--minimum S] [--longest S] FOLDER
// with the bounds of each option; what cannot make sense is refused with the reason.
#pragma once

#include <string>

#include "record/detector.h"
#include "record/retention.h"

struct RecordOptions {
  double level_db = -50;
  double hang = 2, pre_roll = 0.2, minimum = 0.5, longest = 300;
  RetentionSettings retention;
  std::string folder;
};

extern const char* const kRecordUsage;
// --help's text: the usage line and each option with its bounds and default.
extern const char* const kRecordHelp;

enum class Parsed { run, help, bad };

// Reads the command line into `options`; for `bad`, `error` says what is wrong.
Parsed record_parse_options(int argc, char** argv, RecordOptions& options, std::string& error);

// The options in samples, for the detector.
DetectorSettings record_detector_settings(const RecordOptions& options);
