// A file of metrics in Prometheus's text format, in the folder ORVCTL_METRICS names, for
// node-exporter's textfile collector: orvctl's and its recorder's. Written whole under a temporary
// name and renamed over the file, so that a reader sees the old file or the new one, never a part.
// The temporary name is made anew for each write from random bytes and created exclusively: no
// file, link or FIFO that someone else put in the folder is ever opened, written through or waited
// on. Each writer holds its file's name for its run: a second writer of the same name in the same
// folder (two recorders given one folder) takes NAME-2.prom, and so on.
#pragma once

#include <cstddef>
#include <cstdint>

struct PromFile {
  int dir = -1;             // the folder (-1: no metrics asked for, or it cannot be opened)
  const char* folder = "";  // its name, for messages
  char name[64] = "";       // the file's name in it
  char temporary[96] = "";  // the name the next write goes under first
  int claim = -1;           // what holds the name for this run
};

// Opens the folder ORVCTL_METRICS names, if any, and claims `name` (NAME.prom) there. Returns 0,
// or the errno of a folder that cannot be opened (0 with `dir` -1 where none is asked for).
int prom_open(PromFile& file, const char* name);

// Lets go of the folder and of the name (which a process's end does as well).
void prom_close(PromFile& file);

// Writes `text` as the file: 0, or the errno of what failed (nothing is left behind then).
int prom_write(PromFile& file, const char* text, size_t length);

// Writes `text` as the file `name` of the folder `dir`, whole, under a temporary name made for this
// write (the same way): 0, or the errno of what failed (nothing is left behind then).
int whole_file_write(int dir, const char* name, const char* text, size_t length);

// A text that grows by appends into a buffer of fixed size; `full` once one did not fit.
struct PromText {
  char* at;
  size_t size;
  size_t length = 0;
  bool full = false;
};

// One metric: its help and type lines, then its one sample with the labels given (without braces:
// `frequency_khz="145500"`).
void prom_metric(PromText& text, const char* name, const char* type, const char* help,
                 const char* labels, double value);

// Another sample of the metric just appended, with other labels.
void prom_sample(PromText& text, const char* name, const char* labels, double value);
