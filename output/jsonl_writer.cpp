#include "output/jsonl_writer.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/text_encoding.h"

namespace {

// Appends to a std::string, as RapidJSON's output stream.
class StringSink {
 public:
  typedef char Ch;
  explicit StringSink(std::string* out) : out_(out) {}
  void Put(char c) { out_->push_back(c); }
  void Flush() {}

 private:
  std::string* out_;
};

}  // namespace

JsonLinesBatch::JsonLinesBatch(std::string_view target) : target_(platform::LocaleToUtf8(target)) {}

void JsonLinesBatch::Add(const JsonLinesRow& row) {
  StringSink sink(&text_);
  rapidjson::Writer<StringSink> writer(sink);
  auto field = [&writer](const char* key, std::string_view value) {
    writer.Key(key);
    writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
  };
  std::string storage;
  writer.StartObject();
  field("target", target_);
  field("oid", row.oid);
  field("version", row.version == 2 ? "2c" : row.version == 3 ? "3" : "1");
  field("type", row.type);
  field("value", row.base64 ? row.value : platform::LocaleToUtf8View(row.value, &storage));
  field("encoding", row.base64 ? "base64" : "text");
  if (!row.name.empty()) {
    std::string name_storage;
    field("name", platform::LocaleToUtf8View(row.name, &name_storage));
  }
  writer.EndObject();
  text_.push_back('\n');
  ++rows_;
}

bool JsonLinesWriter::Open(const std::string& path, std::string* error) {
  platform::MutexLock lock(mutex_);
  to_stdout_ = path == "-";
  if (!to_stdout_ && !file_.Begin(path, error)) return false;
  open_ = true;
  return true;
}

bool JsonLinesWriter::Write(const JsonLinesBatch& batch) {
  platform::MutexLock lock(mutex_);
  if (!open_) return false;
  const std::string& text = batch.text();
  if (!to_stdout_) return file_.Append(text.data(), text.size());
  if (!stdout_error_.empty()) return false;
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      stdout_error_ = n < 0 ? strerror(errno) : "nothing written";
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool JsonLinesWriter::Finish(std::string* error) {
  platform::MutexLock lock(mutex_);
  if (!open_) {
    *error = "not open";
    return false;
  }
  open_ = false;
  if (to_stdout_) {
    if (stdout_error_.empty()) return true;
    *error = stdout_error_;
    return false;
  }
  return file_.Commit(error);
}
