#include "standin/QVMailDefaults.h"

#include <fcntl.h>
#include <plist/plist++.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

#include "host/QVFileWriting.h"

namespace qv {

namespace fs = std::filesystem;

namespace {

std::string errnoText(int err) {
  return std::error_code(err, std::generic_category()).message();
}

// Owns a file descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  [[nodiscard]] int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

struct ReadResult {
  std::unique_ptr<PList::Dictionary> dict;  // null with error set, or when missing
  std::string bytes;                        // the file's bytes, when read
  bool unchanged = false;                   // the bytes are the ones the caller knows
  bool missing = false;
  std::string error;
};

constexpr std::size_t kLargestFile = 64u * 1024u * 1024u;

// The file's bytes; false with `error` set when it cannot be read, `missing` when absent.
bool readBytes(const fs::path& file, ReadResult& result) {
  Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) {
      result.missing = true;
      return false;
    }
    result.error = errnoText(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    result.error = errnoText(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    result.error = "it is a folder";
    return false;
  }
  char chunk[16384];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      result.error = errnoText(errno);
      return false;
    }
    result.bytes.append(chunk, static_cast<std::size_t>(n));
    if (result.bytes.size() > kLargestFile) {
      result.error = "it is larger than 64 MB";
      return false;
    }
  }
  if (result.bytes.empty()) {
    result.error = "it is empty";
    return false;
  }
  return true;
}

// Reads and parses the file. When it holds exactly `knownBytes` (not empty), it is not
// parsed again: `unchanged` is set and `dict` left null, for the caller's parsed form.
ReadResult readPlistFile(const fs::path& file, const std::string& knownBytes = {}) {
  ReadResult result;
  if (!readBytes(file, result)) return result;
  if (!knownBytes.empty() && result.bytes == knownBytes) {
    result.unchanged = true;
    return result;
  }
  plist_t root = nullptr;
  plist_from_memory(result.bytes.data(), static_cast<std::uint32_t>(result.bytes.size()), &root);
  if (root == nullptr) {
    result.error = "it is not a property list";
    return result;
  }
  if (plist_get_node_type(root) != PLIST_DICT) {
    plist_free(root);
    result.error = "its top level is not a dictionary";
    return result;
  }
  result.dict = std::make_unique<PList::Dictionary>(root);
  return result;
}

std::optional<QVDefaultsValue> fromNode(PList::Node* node) {
  switch (node->GetType()) {
    case PLIST_BOOLEAN: return static_cast<PList::Boolean*>(node)->GetValue();
    case PLIST_UINT:
      return static_cast<std::int64_t>(static_cast<PList::Integer*>(node)->GetValue());
    case PLIST_REAL: return static_cast<PList::Real*>(node)->GetValue();
    case PLIST_STRING: return static_cast<PList::String*>(node)->GetValue();
    case PLIST_ARRAY: return QVOtherValue{"array"};
    case PLIST_DICT: return QVOtherValue{"dictionary"};
    case PLIST_DATE: return QVOtherValue{"date"};
    case PLIST_DATA: return QVOtherValue{"data"};
    default: return QVOtherValue{"other"};
  }
}

// Stores a value in the dictionary; values of kinds we do not write are left as they are.
void setNode(PList::Dictionary& dict, const std::string& key, const QVDefaultsValue& value) {
  if (auto* b = std::get_if<bool>(&value)) {
    dict.Set(key, PList::Boolean(*b));
  } else if (auto* i = std::get_if<std::int64_t>(&value)) {
    dict.Set(key, PList::Integer(static_cast<std::uint64_t>(*i)));
  } else if (auto* d = std::get_if<double>(&value)) {
    dict.Set(key, PList::Real(*d));
  } else if (auto* s = std::get_if<std::string>(&value)) {
    dict.Set(key, PList::String(*s));
  }
}

// The file's mode and owner when it exists; a new one gets 0666 less the umask.
void keepModeAndOwner(const fs::path& file, int fd) {
  struct stat st {};
  if (::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
      // Not ours to give away: the file stays this process's (its mode below still holds).
    }
    ::fchmod(fd, st.st_mode & 07777);
    return;
  }
  ::fchmod(fd, newFileMode());
}

std::optional<std::string> writeAtomically(const fs::path& named, const std::string& bytes) {
  const QVSignalsHeld held;
  // A settings file that is a symbolic link: the file it leads to is replaced, the link stays.
  std::error_code ec;
  const fs::path resolved = fs::canonical(named, ec);
  const fs::path file = ec ? named : resolved;
  const fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
  std::string tmpl = (folder / ("." + file.filename().string() + ".XXXXXX")).string();
  Fd fd(::mkstemp(tmpl.data()));
  if (fd.get() < 0) return "cannot create a file in " + folder.string() + ": " + errnoText(errno);
  auto fail = [&](const std::string& what) {
    const std::string text = what + " " + tmpl + ": " + errnoText(errno);
    ::unlink(tmpl.c_str());
    return text;
  };
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("cannot write");
    }
    done += static_cast<std::size_t>(n);
  }
  keepModeAndOwner(file, fd.get());
  // The new file's own data is written to the disk before the rename, and only that: an
  // fsync would commit the file system's journal, which on ext4 first writes every other
  // file's pending data (a batch's outputs). The rename reaches the disk with a later journal
  // commit, after these bytes; so after a crash the name holds either the previous file or
  // this one, whole, never an empty or torn one. Where the range sync is not offered, fsync.
  if (::sync_file_range(
          fd.get(), 0, 0,
          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER) != 0 &&
      ::fsync(fd.get()) != 0) {
    return fail("cannot sync");
  }
  if (::close(fd.release()) != 0) return fail("cannot close");
  // The folder is not synced: after a crash the rename may be undone, which brings back the
  // previous file whole (the last change lost, nothing torn), as Mail's own defaults do.
  if (::rename(tmpl.c_str(), file.c_str()) != 0) return fail("cannot rename");
  return std::nullopt;
}

}  // namespace

QVMailDefaults::Opened QVMailDefaults::open(const fs::path& file) {
  Opened opened;
  ReadResult read = readPlistFile(file);
  if (!read.error.empty()) {
    opened.error = "settings file " + file.string() + " cannot be used: " + read.error;
    return opened;
  }
  opened.store.reset(new QVMailDefaults(file));
  if (read.dict) {
    for (auto it = read.dict->Begin(); it != read.dict->End(); ++it) {
      if (auto value = fromNode(it->second)) opened.store->values_.emplace(it->first, *value);
    }
    opened.store->knownBytes_ = std::move(read.bytes);
    opened.store->knownDict_ = std::move(read.dict);
  }
  return opened;
}

QVMailDefaults::QVMailDefaults(fs::path file) : file_(std::move(file)) {}
QVMailDefaults::~QVMailDefaults() = default;

std::optional<fs::path> QVMailDefaults::locate(const std::optional<std::string>& flag) {
  if (flag && !flag->empty()) return fs::path(*flag);
  const char* env = std::getenv("STOWLET_DEFAULTS");
  if (env != nullptr && *env != '\0') return fs::path(env);
  fs::path config;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  if (xdg != nullptr && *xdg != '\0') {
    config = xdg;
  } else if (home != nullptr && *home != '\0') {
    config = fs::path(home) / ".config";
  } else {
    return std::nullopt;
  }
  return config / "stowlet" / "mail-defaults.plist";
}

std::optional<QVDefaultsValue> QVMailDefaults::objectForKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

void QVMailDefaults::setObject(std::string_view key, QVDefaultsValue value) {
  std::lock_guard lock(mutex_);
  // The value it already holds is no change (a pane that sets its controls' values as it
  // opens writes nothing).
  if (auto it = values_.find(key); it != values_.end() && it->second == value) return;
  values_.insert_or_assign(std::string(key), std::move(value));
  changed_.emplace(key);
  if (auto it = defaulted_.find(key); it != defaulted_.end()) defaulted_.erase(it);
  if (auto it = added_.find(key); it != added_.end()) added_.erase(it);  // replaced whole
  if (savesEachChange_) lastSaveError_ = saveLocked();
}

void QVMailDefaults::setObjectIfAbsent(std::string_view key, QVDefaultsValue value) {
  std::lock_guard lock(mutex_);
  if (values_.count(key) != 0) return;
  values_.emplace(std::string(key), std::move(value));
  defaulted_.emplace(key);
}

void QVMailDefaults::addToCounter(std::string_view key, std::int64_t delta) {
  std::lock_guard lock(mutex_);
  auto it = values_.find(key);
  std::int64_t stored = 0;
  if (it != values_.end()) stored = integerOf(it->second);
  values_.insert_or_assign(std::string(key), countedUp(stored, delta));
  if (changed_.count(key) != 0) {
    // A value set by this process: the sum is that value, written as it is.
  } else {
    added_[std::string(key)] += delta;
  }
  if (savesEachChange_) lastSaveError_ = saveLocked();
}

std::optional<std::string> QVMailDefaults::save() {
  std::lock_guard lock(mutex_);
  return saveLocked();
}

std::optional<std::string> QVMailDefaults::lastSaveError() const {
  std::lock_guard lock(mutex_);
  return lastSaveError_;
}

std::optional<std::string> QVMailDefaults::saveLocked() {
  if (changed_.empty() && added_.empty()) return std::nullopt;
  const std::string where = "cannot save settings to " + file_.string() + ": ";
  std::error_code ec;
  const fs::path folder = file_.parent_path();
  if (!folder.empty()) {
    fs::create_directories(folder, ec);
    if (ec) return where + "cannot create its folder: " + ec.message();
  }
  // The lock beside the file the name leads to: processes that reach one settings file by
  // different names (a symbolic link) take the same lock.
  const fs::path resolved = fs::weakly_canonical(file_, ec);
  const std::string lockPath = (ec ? file_ : resolved).string() + ".lock";
  Fd lockFd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (lockFd.get() < 0) return where + "cannot open " + lockPath + ": " + errnoText(errno);
  while (::flock(lockFd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return where + "cannot lock " + lockPath + ": " + errnoText(errno);
  }

  // Other processes may have saved since we read: start from what the file holds now.
  // The parsed form of the bytes last seen is used as it is (never copied: libplist's copy
  // of a string holding a NUL keeps its length but not its bytes).
  ReadResult read = readPlistFile(file_, knownDict_ ? knownBytes_ : std::string());
  if (!read.error.empty()) return where + read.error + " (the file was left as it is)";
  std::unique_ptr<PList::Dictionary> dict;
  if (read.unchanged) {
    dict = std::move(knownDict_);
  } else if (read.dict) {
    dict = std::move(read.dict);
  } else {
    dict = std::make_unique<PList::Dictionary>();
  }
  // Known again only once the file holds what this save writes.
  knownBytes_.clear();
  knownDict_.reset();
  for (const std::string& key : changed_) {
    auto it = values_.find(key);
    if (it != values_.end()) setNode(*dict, key, it->second);
  }
  // Increments go onto the value the file holds now; defaults only where it holds none.
  std::map<std::string, std::int64_t, std::less<>> counted;
  for (const auto& [key, delta] : added_) {
    std::int64_t stored = 0;
    if (auto it = dict->Find(key); it != dict->End()) {
      if (auto value = fromNode(it->second)) stored = QVUserDefaults::integerOf(*value);
    }
    counted[key] = countedUp(stored, delta);
    setNode(*dict, key, counted[key]);
  }
  for (const std::string& key : defaulted_) {
    if (dict->Find(key) != dict->End()) continue;
    auto it = values_.find(key);
    if (it != values_.end()) setNode(*dict, key, it->second);
  }
  std::string bytes = dict->ToXml();
  if (auto error = writeAtomically(file_, bytes)) return where + *error;
  knownBytes_ = std::move(bytes);
  // Take in what the others saved, keeping our own values.
  for (auto it = dict->Begin(); it != dict->End(); ++it) {
    if (changed_.count(it->first) != 0) continue;
    if (auto value = fromNode(it->second)) values_.insert_or_assign(it->first, *value);
  }
  knownDict_ = std::move(dict);
  changed_.clear();
  added_.clear();
  defaulted_.clear();
  return std::nullopt;
}

}  // namespace qv
