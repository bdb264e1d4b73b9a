// The JSON Lines stream of a run: one JSON object a line for every stored
// row, a target's rows together, written as each target's rows are final.
//
// Each scan thread formats its own target's lines into a JsonLinesBatch
// (no lock), then hands the batch to JsonLinesWriter::Write, which appends
// it whole under the writer's lock: lines of different targets never mix, and
// no more than the batches in hand are held in memory. A file is written like
// a result file (a hidden temporary beside it, renamed over it by Finish);
// "-" writes to standard output as the batches come.
#pragma once

#include <string>
#include <string_view>

#include "output/atomic_file.h"
#include "platform/thread_annotations.h"

// One row as the stream shows it. Texts are in the locale's code set (they
// are converted to UTF-8); oid, type and the Base64 of binary values are ASCII.
struct JsonLinesRow {
  std::string_view oid;
  int version = 1;        // SNMP version: 1, 2 (shown as "2c") or 3
  std::string_view type;  // the SMI name of the value's type
  std::string_view value;
  bool base64 = false;    // value is Base64 of the bytes rather than text
  std::string_view name;  // "MODULE::object.instance"; empty: no name field
};

// The lines of one target, made by one thread.
class JsonLinesBatch {
 public:
  explicit JsonLinesBatch(std::string_view target);

  // Appends the row's line: {"target","oid","version","type","value",
  // "encoding"[,"name"]}, every value a JSON string.
  void Add(const JsonLinesRow& row);

  const std::string& text() const { return text_; }
  size_t rows() const { return rows_; }

 private:
  std::string target_;  // in UTF-8
  std::string text_;
  size_t rows_ = 0;
};

class JsonLinesWriter {
 public:
  JsonLinesWriter() = default;
  JsonLinesWriter(const JsonLinesWriter&) = delete;
  JsonLinesWriter& operator=(const JsonLinesWriter&) = delete;

  // Starts the stream at path ("-": standard output). False with *error set
  // when the file cannot be made (as for a result file: no link, FIFO or
  // directory is written through).
  bool Open(const std::string& path, std::string* error) EXCLUDES(mutex_);

  // Appends the batch's lines whole. False once a write has failed (later
  // batches are dropped; Finish reports the cause). Any thread.
  bool Write(const JsonLinesBatch& batch) EXCLUDES(mutex_);

  // Ends the stream: the file is flushed and renamed over path. False with
  // *error set when anything was lost; the file at path is then untouched.
  bool Finish(std::string* error) EXCLUDES(mutex_);

 private:
  platform::Mutex mutex_;
  bool to_stdout_ GUARDED_BY(mutex_) = false;
  bool open_ GUARDED_BY(mutex_) = false;
  std::string stdout_error_ GUARDED_BY(mutex_);  // the first failed write's cause
  AtomicFileWriter file_ GUARDED_BY(mutex_);     // one thread at a time: the lock orders them
};
