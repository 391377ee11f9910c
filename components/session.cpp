#include "components/session.h"

#include <algorithm>
#include <cassert>
#include <exception>
#include <utility>

#include "components/database.h"
#include "engine/base/engine_error.h"
#include "engine/storage/data_directory.h"

namespace tabula {

namespace {

constexpr std::int32_t kMinDataBufferSize = 8192;
constexpr std::int32_t kMinDataBufferCount = 16;
constexpr std::int32_t kMinIndexBufferSize = 16384;
constexpr std::int32_t kMinBlobBufferSize = 8192;
constexpr std::int32_t kMinBlobBufferCount = 32;
constexpr std::uint16_t kMaxProgressSteps = 100;

struct TDialogs {
  std::mutex lock;
  TPasswordDialog password;  // guarded by lock
  TLoginDialog login;        // guarded by lock
};

TDialogs& Dialogs() {
  static TDialogs dialogs;
  return dialogs;
}

bool Contains(const std::vector<TTabulaDatabase*>& list, const TTabulaDatabase* database) {
  return std::find(list.begin(), list.end(), database) != list.end();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TTabulaSessionList

TTabulaSessionList::TTabulaSessionList() {
  // The engine's process-wide objects must outlive this list, whose destructor deactivates the
  // default session: touching them here constructs them first, so they are destroyed later.
  EngineLock();
  (void)EngineStarted();
  default_session_.reset(new TTabulaSession(*this, TTabulaSession::DefaultTag{}));
}

TTabulaSessionList::~TTabulaSessionList() {
  // Deactivating the default session first deactivates every other one, last created first.
  try {
    default_session_->Close();
  } catch (...) {
    // Program end: nobody is left to report to.
  }
  default_session_.reset();
}

TTabulaSession* TTabulaSessionList::FindSession(const std::string& name) const {
  if (name.empty()) return default_session_.get();
  std::lock_guard<std::mutex> guard(lock_);
  for (TTabulaSession* session : sessions_) {
    if (SameText(session->SessionName(), name)) return session;
  }
  return nullptr;
}

TTabulaSession& TTabulaSessionList::SessionByName(const std::string& name) const {
  TTabulaSession* session = FindSession(name);
  if (session == nullptr) DatabaseError(kSessionNameInvalid, name);
  return *session;
}

std::vector<TTabulaSession*> TTabulaSessionList::List() const {
  std::lock_guard<std::mutex> guard(lock_);
  return sessions_;
}

int TTabulaSessionList::Count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<int>(sessions_.size());
}

void TTabulaSessionList::Add(TTabulaSession& session) {
  std::lock_guard<std::mutex> guard(lock_);
  sessions_.push_back(&session);
}

void TTabulaSessionList::Remove(TTabulaSession& session) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = std::find(sessions_.begin(), sessions_.end(), &session);
  if (it != sessions_.end()) sessions_.erase(it);
}

int TTabulaSessionList::TakeAutoNumber() {
  auto it = std::find(auto_numbers_.begin(), auto_numbers_.end(), false);
  const int number = static_cast<int>(it - auto_numbers_.begin());
  if (it == auto_numbers_.end()) {
    auto_numbers_.push_back(true);
  } else {
    *it = true;
  }
  return number;
}

void TTabulaSessionList::FreeAutoNumber(int number) {
  if (number >= 0 && number < static_cast<int>(auto_numbers_.size())) {
    auto_numbers_[static_cast<std::size_t>(number)] = false;
  }
}

TTabulaSessionList& Sessions() {
  static TTabulaSessionList list;
  return list;
}

void SetPasswordDialog(TPasswordDialog dialog) {
  std::lock_guard<std::mutex> guard(Dialogs().lock);
  Dialogs().password = std::move(dialog);
}

void SetLoginDialog(TLoginDialog dialog) {
  std::lock_guard<std::mutex> guard(Dialogs().lock);
  Dialogs().login = std::move(dialog);
}

// ---------------------------------------------------------------------------------------------
// TTabulaSession: construction and destruction

TTabulaSession::TTabulaSession(TTabulaSessionList& list, DefaultTag)
    : TComponent(nullptr), list_(list) {
  is_default_ = true;
  session_name_ = kDefaultSessionName;
  list_.Add(*this);
}

TTabulaSession::TTabulaSession(TComponent* owner) : TComponent(owner), list_(Sessions()) {
  if (AutoSessionOf(owner) != nullptr) DatabaseError(kAutoSessionExists);
  list_.Add(*this);
}

TTabulaSession::~TTabulaSession() {
  MarkDestroying();
  try {
    Close();
  } catch (...) {
    // A destructor cannot report; the engine session is gone regardless (StopSession).
  }
  std::vector<TTabulaDatabase*> bound = databases_;
  for (auto it = bound.rbegin(); it != bound.rend(); ++it) {
    if (!Contains(databases_, *it)) continue;
    if ((*it)->Temporary()) {
      FreeTemporary(**it);
    } else {
      (*it)->SessionDestroyed(*this);
    }
  }
  if (auto_number_ >= 0) {
    std::lock_guard<std::recursive_mutex> guard(EngineLock());
    list_.FreeAutoNumber(auto_number_);
  }
  list_.Remove(*this);
}

TTabulaSession* TTabulaSession::AutoSessionOf(const TComponent* owner) {
  if (owner == nullptr) return nullptr;
  for (TComponent* component : owner->Components()) {
    auto* session = dynamic_cast<TTabulaSession*>(component);
    if (session != nullptr && session->AutoSessionName()) return session;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Properties

void TTabulaSession::CheckInactive() const {
  if (Active()) DatabaseError(kSessionActive);
}

template <typename T, typename Apply>
void TTabulaSession::UpdateSetting(T* field, T value, Apply apply) {
  if (!Active()) {
    *field = value;
    return;
  }
  TEngineLockGuard guard(*this);
  if (*field == value) return;
  *field = value;
  apply(*data_session_, value);
}

void TTabulaSession::SetActive(bool value) {
  if (Loading()) {
    stored_active_ = value;
    return;
  }
  if (value) {
    StartSession();
  } else {
    StopSession();
  }
}

void TTabulaSession::SetAutoSessionName(bool value) {
  if (value == auto_session_name_) return;
  if (Loading()) {
    // The number and the name are taken when loading ends.
    auto_session_name_ = value;
    return;
  }
  if (value) {
    CheckInactive();
    if (Owner() != nullptr) {
      for (TComponent* component : Owner()->Components()) {
        if (component != this && dynamic_cast<TTabulaSession*>(component) != nullptr) {
          DatabaseError(kAutoSessionExclusive);
        }
      }
    }
    auto_session_name_ = true;
    TakeAutoSessionName();
  } else {
    std::lock_guard<std::recursive_mutex> guard(EngineLock());
    list_.FreeAutoNumber(auto_number_);
    auto_number_ = -1;
    auto_session_name_ = false;
  }
}

void TTabulaSession::TakeAutoSessionName() {
  {
    std::lock_guard<std::recursive_mutex> guard(EngineLock());
    if (auto_number_ < 0) auto_number_ = list_.TakeAutoNumber();
  }
  UpdateAutoSessionName();
}

void TTabulaSession::UpdateAutoSessionName() {
  updating_auto_name_ = true;
  try {
    SetSessionName(Name() + "_" + std::to_string(auto_number_ + 1));
  } catch (...) {
    updating_auto_name_ = false;
    throw;
  }
  updating_auto_name_ = false;
  SetSessionNames();
}

void TTabulaSession::SetSessionNames() {
  if (Owner() == nullptr) return;
  const std::vector<TComponent*> components = Owner()->Components();
  for (TComponent* component : components) {
    auto* client = dynamic_cast<TSessionClient*>(component);
    if (client != nullptr && client->SessionName() != session_name_) {
      client->SetSessionName(session_name_);
    }
  }
}

void TTabulaSession::SetName(const std::string& name) {
  TComponent::SetName(name);
  if (auto_session_name_ && !Loading() && auto_number_ >= 0) UpdateAutoSessionName();
}

void TTabulaSession::SetSessionName(const std::string& value) {
  // A stored layout sets AutoSessionName before SessionName; the name it stores is replaced by
  // the automatic one when loading ends.
  if (auto_session_name_ && !updating_auto_name_ && !Loading()) {
    DatabaseError(kAutoSessionActive);
  }
  CheckInactive();
  const std::string name = CutText(value);
  if (name == session_name_) return;
  if (!name.empty()) {
    for (TTabulaSession* session : list_.List()) {
      if (session != this && SameText(session->SessionName(), name)) {
        DatabaseError(kDuplicateSessionName, name);
      }
    }
  }
  session_name_ = name;
}

void TTabulaSession::SetForceBufferFlush(bool value) {
  UpdateSetting(&force_buffer_flush_, value,
                [](TDataSession& engine, bool v) { engine.SetForceBufferFlush(v); });
}

void TTabulaSession::SetLockRetryCount(std::uint8_t value) {
  UpdateSetting(&lock_retry_count_, value,
                [](TDataSession& engine, std::uint8_t v) { engine.SetLockRetryCount(v); });
}

void TTabulaSession::SetLockWaitTime(std::uint16_t value) {
  UpdateSetting(&lock_wait_time_, value,
                [](TDataSession& engine, std::uint16_t v) { engine.SetLockWaitTime(v); });
}

void TTabulaSession::SetLockProtocol(TLockProtocol value) {
  UpdateSetting(&lock_protocol_, value,
                [](TDataSession& engine, TLockProtocol v) { engine.SetLockProtocol(v); });
}

void TTabulaSession::SetPrivateDir(const std::string& value) {
  UpdateSetting(&private_dir_, CutText(value),
                [](TDataSession& engine, const std::string& v) { engine.SetPrivateDir(v); });
}

void TTabulaSession::SetProgressSteps(std::uint16_t value) {
  if (value > kMaxProgressSteps) return;
  UpdateSetting(&progress_steps_, value,
                [](TDataSession& engine, std::uint16_t v) { engine.SetProgressSteps(v); });
}

void TTabulaSession::SetStrictChangeDetection(bool value) {
  UpdateSetting(&strict_change_detection_, value,
                [](TDataSession& engine, bool v) { engine.SetStrictChangeDetection(v); });
}

void TTabulaSession::SetRemoteTrace(bool value) {
  UpdateSetting(&remote_trace_, value,
                [](TDataSession& engine, bool v) { engine.SetRemoteTrace(v); });
}

void TTabulaSession::SetDataBufferSize(std::int32_t value) {
  UpdateSetting(&data_buffer_size_, std::max(value, kMinDataBufferSize),
                [](TDataSession& engine, std::int32_t v) { engine.SetDataBufferSize(v); });
}

void TTabulaSession::SetDataBufferCount(std::int32_t value) {
  UpdateSetting(&data_buffer_count_, std::max(value, kMinDataBufferCount),
                [](TDataSession& engine, std::int32_t v) { engine.SetDataBufferCount(v); });
}

void TTabulaSession::SetIndexBufferSize(std::int32_t value) {
  UpdateSetting(&index_buffer_size_, std::max(value, kMinIndexBufferSize),
                [](TDataSession& engine, std::int32_t v) { engine.SetIndexBufferSize(v); });
}

void TTabulaSession::SetBlobBufferSize(std::int32_t value) {
  UpdateSetting(&blob_buffer_size_, std::max(value, kMinBlobBufferSize),
                [](TDataSession& engine, std::int32_t v) { engine.SetBlobBufferSize(v); });
}

void TTabulaSession::SetBlobBufferCount(std::int32_t value) {
  UpdateSetting(&blob_buffer_count_, std::max(value, kMinBlobBufferCount),
                [](TDataSession& engine, std::int32_t v) { engine.SetBlobBufferCount(v); });
}

void TTabulaSession::SetSessionType(TSessionType value) {
  CheckInactive();
  session_type_ = value;
}

void TTabulaSession::SetRemoteType(TRemoteType value) {
  CheckInactive();
  remote_type_ = value;
}

void TTabulaSession::SetRemoteHost(const std::string& value) {
  CheckInactive();
  remote_host_ = CutText(value);
}

void TTabulaSession::SetRemoteAddress(const std::string& value) {
  CheckInactive();
  remote_address_ = CutText(value);
}

void TTabulaSession::SetRemotePort(std::int32_t value) {
  CheckInactive();
  remote_port_ = value;
}

void TTabulaSession::SetRemoteService(const std::string& value) {
  CheckInactive();
  remote_service_ = CutText(value);
}

void TTabulaSession::SetRemoteUser(const std::string& value) {
  CheckInactive();
  remote_user_ = CutText(value);
}

void TTabulaSession::SetRemotePassword(const std::string& value) {
  CheckInactive();
  remote_password_ = CutText(value);
}

// ---------------------------------------------------------------------------------------------
// Loading, activation and deactivation

void TTabulaSession::Loaded() {
  TComponent::Loaded();
  try {
    if (auto_session_name_) TakeAutoSessionName();
    if (stored_active_) Open();
  } catch (...) {
    // A layout designer reports the failure and goes on; a running program gets it.
    if (!Designing()) throw;
  }
}

void TTabulaSession::StartSession() {
  std::lock_guard<std::recursive_mutex> guard(EngineLock());
  if (Active() || activating_) return;
  struct TActivating {
    bool& flag;
    explicit TActivating(bool& f) : flag(f) { flag = true; }
    ~TActivating() { flag = false; }
  } activating(activating_);

  if (OnStartup) OnStartup(*this);
  if (session_name_.empty()) DatabaseError(kSessionNameMissing);
  if (!is_default_) list_.DefaultSession().Open();

  if (is_default_) {
    StartEngine();
    data_session_ = &DefaultDataSession();
  } else {
    private_session_ = std::make_unique<TDataSession>();
    data_session_ = private_session_.get();
  }
  list_.SetCurrentDataSession(data_session_);
  try {
    ApplySettings(*data_session_);
  } catch (...) {
    StopSession();
    throw;
  }
  AssertInvariants();
}

void TTabulaSession::ApplySettings(TDataSession& engine) {
  engine.SetPrivateDir(private_dir_);
  engine.SetStrictChangeDetection(strict_change_detection_);
  engine.SetForceBufferFlush(force_buffer_flush_);
  engine.SetLockRetryCount(lock_retry_count_);
  engine.SetLockWaitTime(lock_wait_time_);
  engine.SetLockProtocol(lock_protocol_);
  engine.SetProgressSteps(progress_steps_);
  engine.SetDataBufferSize(data_buffer_size_);
  engine.SetDataBufferCount(data_buffer_count_);
  engine.SetIndexBufferSize(index_buffer_size_);
  engine.SetBlobBufferSize(blob_buffer_size_);
  engine.SetBlobBufferCount(blob_buffer_count_);
  if (session_type_ != stRemote) {
    engine.SetRemote(false);
    return;
  }
  engine.SetRemoteLan(remote_type_ == rtLAN);
  engine.SetRemoteHost(remote_host_);
  engine.SetRemoteAddress(remote_address_);
  engine.SetRemotePort(static_cast<std::uint16_t>(remote_port_));
  engine.SetRemoteService(remote_service_);
  engine.SetRemoteTrace(remote_trace_);
  engine.SetRemoteUser(remote_user_);
  engine.SetRemotePassword(remote_password_);
  engine.SetRemote(true);
  engine.Connect();
  engine.SetTraceCallback([this](const std::string& message) {
    if (OnRemoteTrace) OnRemoteTrace(*this, message);
  });
  engine.SetLoginCallback([this](std::string& user, std::string& password) {
    return RequestRemoteLogin(user, password);
  });
  try {
    engine.Login();
  } catch (...) {
    engine.SetLoginCallback(nullptr);
    throw;
  }
  engine.SetLoginCallback(nullptr);
  engine.SendSessionParams();
}

void TTabulaSession::StopSession() {
  std::lock_guard<std::recursive_mutex> guard(EngineLock());
  if (!Active()) return;
  std::exception_ptr error;
  if (is_default_) {
    // The engine's process-wide objects go with the default engine session, so no other
    // session may stay active on them.
    std::vector<TTabulaSession*> sessions = list_.List();
    for (auto it = sessions.rbegin(); it != sessions.rend(); ++it) {
      if (*it == this) continue;
      try {
        (*it)->Close();
      } catch (...) {
        if (!error) error = std::current_exception();
      }
    }
  }
  list_.SetCurrentDataSession(data_session_);
  const std::vector<TTabulaDatabase*> bound = databases_;
  for (auto it = bound.rbegin(); it != bound.rend(); ++it) {
    if (!Contains(databases_, *it)) continue;
    try {
      if ((*it)->Temporary()) {
        FreeTemporary(**it);
      } else {
        (*it)->Close();
      }
    } catch (...) {
      if (!error) error = std::current_exception();
    }
  }
  if (session_type_ == stRemote) {
    try {
      data_session_->Logout();
    } catch (...) {
      if (!error) error = std::current_exception();
    }
    data_session_->SetTraceCallback(nullptr);
  }
  data_session_ = nullptr;
  if (is_default_) {
    StopEngine();
    list_.SetCurrentDataSession(nullptr);
  } else {
    private_session_.reset();
    list_.SetCurrentDataSession(list_.DefaultSession().DataSession());
  }
  AssertInvariants();
  if (error) std::rethrow_exception(error);
}

void TTabulaSession::AssertInvariants() const {
#ifndef NDEBUG
  assert(lock_count_ >= 0);
  assert((private_session_ != nullptr) == (Active() && !is_default_));
  if (Active() && !is_default_) assert(list_.DefaultSession().Active());
  for (const TTabulaDatabase* database : databases_) {
    assert(database->Session() == this);
    if (database->Connected()) assert(Active());
  }
  for (const auto& temporary : temporary_) assert(Contains(databases_, temporary.get()));
#endif
}

// ---------------------------------------------------------------------------------------------
// Engine lock

void TTabulaSession::Enter() {
  if (lock_count_ > 0) {
    ++lock_count_;
    return;
  }
  EngineLock().lock();
  lock_count_ = 1;
  try {
    if (!Active() && !activating_) StartSession();
  } catch (...) {
    if (--lock_count_ == 0) EngineLock().unlock();
    throw;
  }
  if (data_session_ != nullptr) list_.SetCurrentDataSession(data_session_);
}

void TTabulaSession::Leave() {
  if (lock_count_ <= 0) return;
  if (--lock_count_ == 0) EngineLock().unlock();
}

// ---------------------------------------------------------------------------------------------
// Databases

void TTabulaSession::AddDatabase(TTabulaDatabase& database) {
  if (!Contains(databases_, &database)) databases_.push_back(&database);
}

void TTabulaSession::RemoveDatabase(TTabulaDatabase& database) {
  auto it = std::find(databases_.begin(), databases_.end(), &database);
  if (it != databases_.end()) databases_.erase(it);
}

void TTabulaSession::FreeTemporary(TTabulaDatabase& database) {
  auto it = std::find_if(temporary_.begin(), temporary_.end(),
                         [&database](const auto& entry) { return entry.get() == &database; });
  if (it == temporary_.end()) return;
  std::unique_ptr<TTabulaDatabase> freed = std::move(*it);
  temporary_.erase(it);
  freed.reset();
}

TTabulaDatabase* TTabulaSession::FindDatabase(const std::string& name) const {
  for (TTabulaDatabase* database : databases_) {
    if (SameText(database->DatabaseName(), name)) return database;
  }
  return nullptr;
}

TTabulaDatabase& TTabulaSession::OpenDatabase(const std::string& given_name, TComponent* owner) {
  TEngineLockGuard guard(*this);
  // Look for the name in the form database components store it, so that a path given with
  // "/" finds the temporary database it created before.
  const std::string name = ForwardToBackslashes(CutText(given_name));
  TTabulaDatabase* database = nullptr;
  for (TTabulaDatabase* candidate : databases_) {
    if (candidate->Owner() == owner && candidate->HandleShared() &&
        SameText(candidate->DatabaseName(), name)) {
      database = candidate;
      break;
    }
  }
  if (database == nullptr) database = FindDatabase(name);
  bool created = false;
  if (database == nullptr) {
    auto temporary = std::make_unique<TTabulaDatabase>(this);
    database = temporary.get();
    temporary_.push_back(std::move(temporary));
    created = true;
    try {
      database->temporary_ = true;
      database->SetDatabaseName(name);
      const bool memory = SameText(name, "Memory");
      if (session_type_ == stRemote) {
        database->SetRemoteDatabase(name);
      } else if (!memory) {
        database->SetDirectory(name);
      }
      database->SetKeepConnection(keep_connections_);
    } catch (...) {
      FreeTemporary(*database);
      throw;
    }
  }
  try {
    database->Open();
  } catch (...) {
    if (created) FreeTemporary(*database);
    throw;
  }
  ++database->ref_count_;
  return *database;
}

void TTabulaSession::CloseDatabase(TTabulaDatabase& database) {
  TEngineLockGuard guard(*this);
  if (database.ref_count_ > 0) --database.ref_count_;
  if (database.ref_count_ != 0 || database.KeepConnection()) return;
  if (database.Temporary()) {
    if (!database.Destroying()) FreeTemporary(database);
  } else {
    database.Close();
  }
}

// ---------------------------------------------------------------------------------------------
// Passwords and logins

void TTabulaSession::AddPassword(const std::string& password) {
  TEngineLockGuard guard(*this);
  if (data_session_ == nullptr) RaiseEngineError(TABULA_NOTINITIALIZED, "", "", "", "", "", "", "");
  data_session_->AddPassword(password);
}

void TTabulaSession::RemovePassword(const std::string& password) {
  TEngineLockGuard guard(*this);
  if (data_session_ == nullptr) RaiseEngineError(TABULA_NOTINITIALIZED, "", "", "", "", "", "", "");
  data_session_->RemovePassword(password);
}

void TTabulaSession::RemoveAllPasswords() {
  TEngineLockGuard guard(*this);
  if (data_session_ == nullptr) RaiseEngineError(TABULA_NOTINITIALIZED, "", "", "", "", "", "", "");
  data_session_->RemoveAllPasswords();
}

bool TTabulaSession::RequestPassword() {
  if (OnPassword) {
    bool answer = false;
    OnPassword(*this, answer);
    return answer;
  }
  TPasswordDialog dialog;
  {
    std::lock_guard<std::mutex> guard(Dialogs().lock);
    dialog = Dialogs().password;
  }
  return dialog ? dialog(*this) : false;
}

bool TTabulaSession::RequestRemoteLogin(std::string& user_name, std::string& password) {
  bool answer = true;
  if (OnRemoteLogin) {
    OnRemoteLogin(*this, user_name, password, answer);
  } else {
    TLoginDialog dialog;
    {
      std::lock_guard<std::mutex> guard(Dialogs().lock);
      dialog = Dialogs().login;
    }
    answer = dialog ? dialog(*this, user_name, password) : false;
  }
  user_name = CutText(user_name);
  password = CutText(password);
  return answer;
}

}  // namespace tabula
