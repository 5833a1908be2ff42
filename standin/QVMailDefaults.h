#pragma once
// The stand-in Mail's user-defaults domain: the settings store, kept in a property-list
// file.
//
// Reads are served from memory. Changes are kept in memory and written by save(), which
// the command calls once when it ends (and an interactive view after each change), so a
// run of many changes costs one write. A save never leaves a torn file: it writes a
// temporary file beside the real one, syncs it and renames it over. Under an advisory lock
// on "<file>.lock" it first re-reads the file and writes only the keys this process
// changed, so processes writing different keys never lose each other's values; a counter is
// an increment added to the file's value of the moment, and a default is written only where
// the file has no value, so any number of processes count exactly and never undo another's
// change. (When the
// file still holds the very bytes this process last read or wrote, their parsed form is
// reused instead of parsed again.)
//
// A file that exists but is not a readable property list (empty, truncated, garbage, a
// folder, or not a dictionary at the top) is never overwritten: open() and save() report it.

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "host/QVUserDefaults.h"

namespace PList {
class Dictionary;
}

namespace qv {

class QVMailDefaults final : public QVUserDefaults {
 public:
  struct Opened;

  // Opens the store kept at `file`; a missing file is an empty store (the file and its
  // folder are created on the first save).
  [[nodiscard]] static Opened open(const std::filesystem::path& file);

  // Where the store lives: `flag` when given, else $STOWLET_DEFAULTS, else
  // ${XDG_CONFIG_HOME:-$HOME/.config}/stowlet/mail-defaults.plist. Nothing when neither
  // XDG_CONFIG_HOME nor HOME is set.
  [[nodiscard]] static std::optional<std::filesystem::path> locate(
      const std::optional<std::string>& flag);

  [[nodiscard]] std::optional<QVDefaultsValue> objectForKey(std::string_view key) const override;
  void setObject(std::string_view key, QVDefaultsValue value) override;
  void setObjectIfAbsent(std::string_view key, QVDefaultsValue value) override;
  void addToCounter(std::string_view key, std::int64_t delta) override;

  // Writes the changed keys and adds the counted increments to the file's values; nothing
  // to do when none changed (defaults set only where absent are no change of their own:
  // they go with the next save that has one). The error text when it fails.
  [[nodiscard]] std::optional<std::string> save();
  // Saves after every change (for interactive views). Errors are kept for lastSaveError().
  void setSavesEachChange(bool on) { savesEachChange_ = on; }
  [[nodiscard]] std::optional<std::string> lastSaveError() const;

  [[nodiscard]] const std::filesystem::path& file() const { return file_; }

  ~QVMailDefaults() override;
  QVMailDefaults(const QVMailDefaults&) = delete;
  QVMailDefaults& operator=(const QVMailDefaults&) = delete;

 private:
  explicit QVMailDefaults(std::filesystem::path file);
  std::optional<std::string> saveLocked();

  std::filesystem::path file_;
  mutable std::mutex mutex_;
  std::map<std::string, QVDefaultsValue, std::less<>> values_;
  std::set<std::string, std::less<>> changed_;
  std::set<std::string, std::less<>> defaulted_;            // set only where absent
  std::map<std::string, std::int64_t, std::less<>> added_;  // counter increments not saved
  bool savesEachChange_ = false;
  std::optional<std::string> lastSaveError_;
  // The file's bytes as last read or written, and their parsed form.
  std::string knownBytes_;
  std::unique_ptr<PList::Dictionary> knownDict_;
};

struct QVMailDefaults::Opened {
  std::unique_ptr<QVMailDefaults> store;  // null when the file could not be read
  std::string error;                      // why, naming the file
};

}  // namespace qv
