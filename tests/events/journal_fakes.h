#pragma once
// A journal file in memory for the journal and committer tests: it keeps what was
// written apart from what the last good sync made durable (a crash goes back to that),
// writes one log line per operation, fails the next call of an operation on request,
// and can hold syncs until the test lets them go.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "events/event_journal.h"

namespace orvelgate::testing {

using PayloadList = std::vector<std::vector<uint8_t>>;

struct FakeDisk {
  // Fails the next call of `operation` ("open", "keep-aside", "write", "sync", "truncate",
  // "replace").
  void FailNext(const std::string& operation, int error) {
    std::lock_guard lock(mutex);
    failures[operation] = error;
  }
  // A line of the test's own (e.g. a frame acknowledged) among the operations.
  void Note(const std::string& line) {
    std::lock_guard lock(mutex);
    log.push_back(line);
  }
  std::vector<std::string> Log() {
    std::lock_guard lock(mutex);
    return log;
  }
  std::size_t Count(const std::string& line) {
    std::lock_guard lock(mutex);
    return static_cast<std::size_t>(std::count(log.begin(), log.end(), line));
  }
  std::vector<uint8_t> File() {
    std::lock_guard lock(mutex);
    return file;
  }
  // What survives a power cut now.
  void Crash() {
    std::lock_guard lock(mutex);
    file = durable;
  }
  void HoldSyncs(bool hold) {
    std::lock_guard lock(mutex);
    holdSyncs = hold;
    changed.notify_all();
  }
  // Guards against a hang only; never a check of speed.
  bool WaitForSyncsStarted(int count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), [&] { return syncsStarted >= count; });
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<uint8_t> file;     // as written
  std::vector<uint8_t> durable;  // as of the last good sync or replacement
  std::vector<std::string> log;
  std::map<std::string, int> failures;
  std::vector<std::vector<uint8_t>> asides;  // the files kept aside, in order
  bool notAFile = false;                     // a folder holds the journal's name
  std::size_t partialWrite = 0;  // bytes a failing write still puts down
  bool holdSyncs = false;
  int syncsStarted = 0;
};

class FakeJournalStorage final : public JournalStorage {
 public:
  explicit FakeJournalStorage(std::shared_ptr<FakeDisk> disk) : disk_(std::move(disk)) {}

  std::optional<Failure> Open(std::vector<uint8_t>& contents) override {
    std::lock_guard lock(disk_->mutex);
    if (auto failed = Failing("open")) return failed;
    if (disk_->notAFile) return Failure::FromErrno(kJournalNotAFile, "open journal: not a regular file");
    contents = disk_->file;
    return {};
  }
  std::optional<Failure> KeepAside(std::string& aside) override {
    std::lock_guard lock(disk_->mutex);
    if (auto failed = Failing("keep-aside")) return failed;
    aside = "aside-" + std::to_string(disk_->asides.size() + 1);
    disk_->asides.push_back(disk_->file);
    if (disk_->notAFile) disk_->file.clear();  // moved away: a fresh file comes next
    disk_->notAFile = false;
    return {};
  }
  std::optional<Failure> Write(uint64_t offset, std::span<const uint8_t> bytes) override {
    std::lock_guard lock(disk_->mutex);
    auto failed = Failing("write " + std::to_string(offset) + "+" + std::to_string(bytes.size()));
    if (failed) bytes = bytes.first(std::min(bytes.size(), disk_->partialWrite));
    auto& file = disk_->file;
    if (file.size() < offset + bytes.size()) file.resize(offset + bytes.size());
    std::copy(bytes.begin(), bytes.end(), file.begin() + static_cast<std::ptrdiff_t>(offset));
    return failed;
  }
  std::optional<Failure> Sync() override {
    std::unique_lock lock(disk_->mutex);
    ++disk_->syncsStarted;
    disk_->changed.notify_all();
    disk_->changed.wait(lock, [&] { return !disk_->holdSyncs; });
    if (auto failed = Failing("sync")) return failed;
    disk_->durable = disk_->file;
    return {};
  }
  std::optional<Failure> Truncate(uint64_t size) override {
    std::lock_guard lock(disk_->mutex);
    if (auto failed = Failing("truncate " + std::to_string(size))) return failed;
    disk_->file.resize(size);
    return {};
  }
  std::optional<Failure> Replace(std::span<const uint8_t> contents) override {
    std::lock_guard lock(disk_->mutex);
    if (auto failed = Failing("replace " + std::to_string(contents.size()))) return failed;
    disk_->file.assign(contents.begin(), contents.end());
    disk_->durable = disk_->file;
    return {};
  }

 private:
  // Logs the operation; its failure when one was asked for. Called under the lock.
  std::optional<Failure> Failing(const std::string& line) {
    const std::string operation = line.substr(0, line.find(' '));
    const auto it = disk_->failures.find(operation);
    if (it == disk_->failures.end()) {
      disk_->log.push_back(line);
      return std::nullopt;
    }
    const int error = it->second;
    disk_->failures.erase(it);
    disk_->log.push_back(line + " failed");
    return Failure::FromErrno(error, operation + " journal");
  }

  std::shared_ptr<FakeDisk> disk_;
};

inline JournalOpening OpenOnDisk(const std::shared_ptr<FakeDisk>& disk, JournalOptions options = {}) {
  return EventJournal::Open(std::make_unique<FakeJournalStorage>(disk), options);
}

}  // namespace orvelgate::testing
