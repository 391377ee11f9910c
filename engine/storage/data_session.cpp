#include "engine/storage/data_session.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "engine/base/engine_error.h"
#include "engine/storage/data_directory.h"
#include "engine/storage/file_layer.h"

namespace tabula {

namespace {

std::string Cut(const std::string& text) { return text.substr(0, kMaxSessionText); }

char UpperAnsi(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// The process's current directory in the engine's form.
std::string CurrentDirectory() {
  char buffer[4096];
  if (::getcwd(buffer, sizeof buffer) == nullptr) return std::string();
  return NormalizeDirectory(buffer);
}

// The system temporary path in the engine's form: TMPDIR, else /tmp.
std::string SystemTempPath() {
  const char* tmpdir = std::getenv("TMPDIR");
  return NormalizeDirectory((tmpdir != nullptr && *tmpdir != '\0') ? tmpdir : "/tmp");
}

constexpr const char* kMemoryDatabaseName = "Memory";

// The engine's process-wide state; created by StartEngine, destroyed by StopEngine.
struct TEngineState {
  std::unique_ptr<TDataSession> default_session;
};

std::mutex& EngineStateLock() {
  static std::mutex lock;
  return lock;
}

std::unique_ptr<TEngineState>& EngineState() {  // guarded by EngineStateLock()
  // Never destroyed, so that StopEngine stays safe from other statics' destructors at exit.
  static auto* state = new std::unique_ptr<TEngineState>();
  return *state;
}

}  // namespace

std::string TrimBlanks(const std::string& text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  const std::size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

std::string NormalizeDirectory(const std::string& directory) {
  std::string result = TrimBlanks(directory);
  if (result.empty()) return result;
  std::replace(result.begin(), result.end(), '/', '\\');
  if (result.back() != '\\') result.push_back('\\');
  return Cut(result);
}

bool SameNameTrimmed(const std::string& a, const std::string& b) {
  const std::string x = TrimBlanks(a);
  const std::string y = TrimBlanks(b);
  return x.size() == y.size() &&
         std::equal(x.begin(), x.end(), y.begin(),
                    [](char p, char q) { return UpperAnsi(p) == UpperAnsi(q); });
}

TDataSession::TDataSession()
    : default_directory_(CurrentDirectory()), private_dir_(SystemTempPath()) {}

TDataSession::~TDataSession() {
  passwords_.clear();
  // A remote session would drop its connection here without a logout request.
  connected_ = false;
  logged_in_ = false;
  databases_.clear();
}

void TDataSession::SetPrivateDir(const std::string& directory) {
  if (directory.empty()) {
    private_dir_.clear();
    return;
  }
  std::string normalized = TrimBlanks(directory);
  if (!normalized.empty() && normalized.back() != '\\') normalized.push_back('\\');
  normalized = Cut(normalized);
  if (normalized != private_dir_) private_dir_ = normalized;
}

std::string TDataSession::TempDirectory() const {
  return private_dir_.empty() ? default_directory_ : private_dir_;
}

void TDataSession::SetProgressSteps(std::uint16_t steps) {
  if (steps == progress_steps_) return;
  progress_steps_ = steps;
  SessionParamsChanged();
}

std::uint16_t TDataSession::ProgressIncrement() const {
  return progress_steps_ == 0 ? 100 : static_cast<std::uint16_t>(100 / progress_steps_);
}

void TDataSession::SetForceBufferFlush(bool value) {
  if (value == force_buffer_flush_) return;
  force_buffer_flush_ = value;
  SessionParamsChanged();
}

void TDataSession::SetStrictChangeDetection(bool value) {
  if (value == strict_change_detection_) return;
  strict_change_detection_ = value;
  SessionParamsChanged();
}

void TDataSession::SetLockRetryCount(std::uint8_t value) {
  if (value == lock_retry_count_) return;
  lock_retry_count_ = value;
  SessionParamsChanged();
}

void TDataSession::SetLockWaitTime(std::uint16_t value) {
  if (value == lock_wait_time_) return;
  lock_wait_time_ = value;
  SessionParamsChanged();
}

void TDataSession::SetLockProtocol(TLockProtocol value) {
  if (value == lock_protocol_) return;
  lock_protocol_ = value;
  SessionParamsChanged();
}

void TDataSession::SetRemote(bool value) {
  if (!connected_) remote_ = value;
}

void TDataSession::SetRemoteLan(bool value) {
  if (!connected_) remote_lan_ = value;
}

void TDataSession::SetRemoteHost(const std::string& value) { remote_host_ = Cut(value); }
void TDataSession::SetRemoteAddress(const std::string& value) { remote_address_ = Cut(value); }
void TDataSession::SetRemoteService(const std::string& value) { remote_service_ = Cut(value); }
void TDataSession::SetRemoteUser(const std::string& value) { remote_user_ = Cut(value); }
void TDataSession::SetRemotePassword(const std::string& value) { remote_password_ = Cut(value); }

std::string TDataSession::RemoteName() const {
  return remote_host_.empty() ? remote_address_ : remote_host_;
}

void TDataSession::AddPassword(const std::string& password) {
  if (remote_) RaiseRemoteUnavailable();
  if (password.empty() || HasPassword(password)) return;
  passwords_.push_back(Cut(password));
}

void TDataSession::RemovePassword(const std::string& password) {
  if (remote_) RaiseRemoteUnavailable();
  auto it = std::find(passwords_.begin(), passwords_.end(), password);
  if (it != passwords_.end()) passwords_.erase(it);
}

void TDataSession::RemoveAllPasswords() {
  if (remote_) RaiseRemoteUnavailable();
  passwords_.clear();
}

bool TDataSession::HasPassword(const std::string& password) const {
  return std::find(passwords_.begin(), passwords_.end(), password) != passwords_.end();
}

TDataDirectory* TDataSession::OpenDatabase(const std::string& name, const std::string& directory,
                                           bool no_request) {
  if (remote_) {
    for (const auto& database : databases_) {
      if (SameNameTrimmed(database->Name(), name)) {
        database->SetUseCount(database->UseCount() + 1);
        return database.get();
      }
    }
    if (!no_request) RaiseRemoteUnavailable();
    databases_.push_back(std::make_unique<TDataDirectory>(*this, name, std::string()));
    databases_.back()->SetUseCount(1);
    return databases_.back().get();
  }
  std::string path;
  if (SameNameTrimmed(name, kMemoryDatabaseName)) {
    path = NormalizeDirectory(directory);
  } else {
    path = TrimBlanks(directory).empty() ? default_directory_ : NormalizeDirectory(directory);
  }
  for (const auto& database : databases_) {
    if (SameNameTrimmed(database->Path(), path)) {
      database->SetUseCount(database->UseCount() + 1);
      return database.get();
    }
  }
  databases_.push_back(std::make_unique<TDataDirectory>(*this, name, path));
  databases_.back()->SetUseCount(1);
  return databases_.back().get();
}

void TDataSession::CloseDatabase(TDataDirectory* database, bool connection_lost) {
  auto it = std::find_if(databases_.begin(), databases_.end(),
                         [database](const auto& entry) { return entry.get() == database; });
  if (it == databases_.end() || (*it)->UseCount() <= 0) return;
  (*it)->SetUseCount((*it)->UseCount() - 1);
  if ((*it)->UseCount() > 0) return;
  // A remote session would send its close request here (unless the connection is lost);
  // every failure of that request is swallowed and the object is freed regardless.
  (void)connection_lost;
  databases_.erase(it);
}

void TDataSession::Connect() { RaiseRemoteUnavailable(); }

void TDataSession::Login() { RaiseRemoteUnavailable(); }

void TDataSession::SendSessionParams() { RaiseRemoteUnavailable(); }

void TDataSession::Logout() {
  if (!connected_) return;
  logged_in_ = false;
  connected_ = false;
}

void TDataSession::RaiseRemoteUnavailable() const {
  RaiseEngineError(TABULA_REMOTECONNECT, RemoteName(), remote_user_, std::string(),
                   std::string(), std::string(), std::string(),
                   "the database server client is not available in this build");
}

void TDataSession::SessionParamsChanged() {
  // Only a logged-in remote session resends its parameters; a local session's cursors and
  // files read the values when they need them.
  if (remote_ && logged_in_) RaiseRemoteUnavailable();
}

void StartEngine() {
  std::lock_guard<std::mutex> guard(EngineStateLock());
  if (EngineState()) return;
  TFileList::Initialize();
  auto state = std::make_unique<TEngineState>();
  state->default_session = std::make_unique<TDataSession>();
  EngineState() = std::move(state);
}

void StopEngine() {
  std::lock_guard<std::mutex> guard(EngineStateLock());
  if (!EngineState()) return;
  EngineState()->default_session.reset();
  EngineState().reset();
  // Every table of the default session is closed now; no handler refers to a listed file.
  TFileList::Shutdown();
}

bool EngineStarted() {
  std::lock_guard<std::mutex> guard(EngineStateLock());
  return EngineState() != nullptr;
}

TDataSession& DefaultDataSession() {
  std::lock_guard<std::mutex> guard(EngineStateLock());
  if (!EngineState()) RaiseEngineError(TABULA_NOTINITIALIZED, "", "", "", "", "", "", "");
  return *EngineState()->default_session;
}

std::recursive_mutex& EngineLock() {
  static std::recursive_mutex lock;
  return lock;
}

}  // namespace tabula
