//===- platform/recording/recording.cpp - A recording platform for tests -===//
#include "platform/recording/recording.h"

#include <deque>
#include <map>
#include <atomic>
#include <mutex>

#include "platform/posix/internal.h"

namespace veskar_recording {

namespace {

struct Scripted {
  uint64_t result;
  DWORD lastError;
};

struct Recorder {
  std::mutex lock;
  std::vector<std::string> calls;
  std::map<std::string, std::deque<Scripted>> queued;
  std::map<std::string, Scripted> always;
  std::map<HANDLE, std::string> names;
  std::map<std::string, std::function<void(const std::string &)>> actions;
  std::function<void(WIN32_FIND_DATAW &)> editListed;
};

Recorder &recorder() {
  static Recorder *instance = new Recorder;
  return *instance;
}

} // namespace

namespace {
std::atomic<bool> zerosAsHoles(false);
} // namespace

void WriteZerosAsHoles(bool on) { zerosAsHoles = on; }

bool ZerosAreHoles() { return zerosAsHoles; }

void Reset() {
  zerosAsHoles = false;
  std::lock_guard<std::mutex> guard(recorder().lock);
  recorder().calls.clear();
  recorder().queued.clear();
  recorder().always.clear();
  recorder().names.clear();
  recorder().actions.clear();
  recorder().editListed = nullptr;
}

void EditListedEntries(std::function<void(WIN32_FIND_DATAW &entry)> edit) {
  std::lock_guard<std::mutex> guard(recorder().lock);
  recorder().editListed = std::move(edit);
}

void EditListedEntry(WIN32_FIND_DATAW *entry) {
  std::function<void(WIN32_FIND_DATAW &)> edit;
  {
    std::lock_guard<std::mutex> guard(recorder().lock);
    edit = recorder().editListed;
  }
  if (edit)
    edit(*entry);
}

void OnCall(const char *name, std::function<void()> action) {
  OnEachCall(name, [action](const std::string &) { action(); });
}

void OnEachCall(const char *name,
                std::function<void(const std::string &call)> action) {
  std::lock_guard<std::mutex> guard(recorder().lock);
  recorder().actions[name] = std::move(action);
}

std::vector<std::string> Calls() {
  std::lock_guard<std::mutex> guard(recorder().lock);
  return recorder().calls;
}

std::vector<std::string> CallsTo(const char *name) {
  std::vector<std::string> matching;
  std::string prefix = std::string(name) + " ";
  for (const std::string &call : Calls())
    if (call.compare(0, prefix.size(), prefix) == 0 || call == name)
      matching.push_back(call);
  return matching;
}

void Script(const char *name, uint64_t result, DWORD lastError) {
  std::lock_guard<std::mutex> guard(recorder().lock);
  recorder().queued[name].push_back({result, lastError});
}

void ScriptAlways(const char *name, uint64_t result, DWORD lastError) {
  std::lock_guard<std::mutex> guard(recorder().lock);
  recorder().always[name] = {result, lastError};
}

void NameHandle(HANDLE handle, const WCHAR *path) {
  static thread_local char text[veskar_posix::kNativePathCapacity];
  veskar_posix::ToNative(path, text, sizeof text, false);
  std::lock_guard<std::mutex> guard(recorder().lock);
  recorder().names[handle] = text;
}

const char *HandleName(HANDLE handle) {
  std::lock_guard<std::mutex> guard(recorder().lock);
  auto found = recorder().names.find(handle);
  return found == recorder().names.end() ? nullptr : found->second.c_str();
}

void ForgetHandle(HANDLE handle) {
  std::lock_guard<std::mutex> guard(recorder().lock);
  recorder().names.erase(handle);
}

bool Hook(const char *name, const WCHAR *argument, uint64_t *result,
          DWORD *lastError, const char *note) {
  std::string call = name;
  if (argument != nullptr) {
    static thread_local char text[veskar_posix::kNativePathCapacity];
    veskar_posix::ToNative(argument, text, sizeof text, false);
    call += " ";
    call += text;
  }
  if (note != nullptr) {
    call += " ";
    call += note;
  }
  std::function<void(const std::string &)> action;
  {
    std::lock_guard<std::mutex> guard(recorder().lock);
    recorder().calls.push_back(call);
    auto found = recorder().actions.find(name);
    if (found != recorder().actions.end())
      action = found->second;
  }
  if (action)
    action(call);
  std::lock_guard<std::mutex> guard(recorder().lock);
  auto queued = recorder().queued.find(name);
  if (queued != recorder().queued.end() && !queued->second.empty()) {
    *result = queued->second.front().result;
    *lastError = queued->second.front().lastError;
    queued->second.pop_front();
    return true;
  }
  auto always = recorder().always.find(name);
  if (always != recorder().always.end()) {
    *result = always->second.result;
    *lastError = always->second.lastError;
    return true;
  }
  return false;
}

} // namespace veskar_recording
