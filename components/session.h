// The session component and the process-wide session list.
//
// TTabulaSession configures and owns one engine session (TDataSession): local or client-server,
// lock behaviour, private directory, buffer limits and the remote connection settings. Database,
// table and query components find their session by name (compared without regard to case; an
// empty name means the session "Default"). The session also provides the engine-wide lock under
// which every component call into the engine runs (Enter/Leave, or TEngineLockGuard), opens
// temporary database components on demand (OpenDatabase), and answers the engine's requests for
// table passwords and remote logins.
//
// States: inactive (no engine session; every property can be set) and active (engine session
// exists; kind, name and remote settings frozen). Invariants:
//   - Active() == (DataSession() != nullptr).
//   - An active non-default session implies an active default session: activating any session
//     first activates "Default", and deactivating "Default" first deactivates every other one.
//   - A connected database component bound to a session implies that session is active:
//     deactivation closes (or frees, when temporary) every bound database first.
//   - Every temporary database is bound to its session.
// AssertInvariants() checks them in debug builds.
//
// Thread-safety: the session list is guarded by its own mutex. Everything else, the engine
// sessions included, is used under the engine-wide lock (EngineLock(), re-entrant). Lock order:
// the engine-wide lock before the list's mutex; the list's mutex is never held while calling out.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "components/component.h"
#include "engine/storage/data_session.h"

namespace tabula {

class TTabulaDatabase;
class TTabulaSessionList;

enum TSessionType : std::uint8_t { stLocal = 0, stRemote = 1 };
enum TRemoteType : std::uint8_t { rtLAN = 0, rtInternet = 1 };

// The engine version every component reports.
inline constexpr const char* kEngineVersionText = "3.24";
// The name of the process's default session.
inline constexpr const char* kDefaultSessionName = "Default";

// A component that names its session: database components and datasets. An automatically named
// session gives its name to every such component of its owner.
class TSessionClient {
 public:
  virtual const std::string& SessionName() const = 0;
  virtual void SetSessionName(const std::string& name) = 0;

 protected:
  ~TSessionClient() = default;
};

class TTabulaSession : public TComponent {
 public:
  // Registers the session in the session list. Raises "This auto-session already exists." when
  // `owner` already holds an automatically named session.
  explicit TTabulaSession(TComponent* owner = nullptr);
  // Deactivates the session, frees its temporary databases, unbinds the other databases (which
  // close; unless this is the default session their SessionName is cleared) and leaves the list.
  ~TTabulaSession() override;

  // Published properties.
  std::string EngineVersion() const { return kEngineVersionText; }
  void SetEngineVersion(const std::string&) {}  // read-only in effect
  bool Active() const { return data_session_ != nullptr; }
  // While loading only records the wish; Loaded() acts on it.
  void SetActive(bool value);
  bool AutoSessionName() const { return auto_session_name_; }
  void SetAutoSessionName(bool value);
  bool ForceBufferFlush() const { return force_buffer_flush_; }
  void SetForceBufferFlush(bool value);
  bool KeepConnections() const { return keep_connections_; }
  void SetKeepConnections(bool value) { keep_connections_ = value; }
  std::uint8_t LockRetryCount() const { return lock_retry_count_; }
  void SetLockRetryCount(std::uint8_t value);
  std::uint16_t LockWaitTime() const { return lock_wait_time_; }
  void SetLockWaitTime(std::uint16_t value);
  TLockProtocol LockProtocol() const { return lock_protocol_; }
  void SetLockProtocol(TLockProtocol value);
  const std::string& PrivateDir() const { return private_dir_; }
  void SetPrivateDir(const std::string& value);
  std::uint16_t ProgressSteps() const { return progress_steps_; }
  // A value above 100 is ignored (the old value stays).
  void SetProgressSteps(std::uint16_t value);
  const std::string& SessionName() const { return session_name_; }
  void SetSessionName(const std::string& value);
  bool StrictChangeDetection() const { return strict_change_detection_; }
  void SetStrictChangeDetection(bool value);
  // Runs when the engine needs a table password, with Continue = false; Continue is the answer
  // (true: try the table again with the passwords now listed).
  std::function<void(TTabulaSession& Sender, bool& Continue)> OnPassword;
  // Runs first in activation, before the engine session exists; may change every property.
  std::function<void(TTabulaSession& Sender)> OnStartup;
  TSessionType SessionType() const { return session_type_; }
  void SetSessionType(TSessionType value);
  TRemoteType RemoteType() const { return remote_type_; }
  void SetRemoteType(TRemoteType value);
  const std::string& RemoteHost() const { return remote_host_; }
  void SetRemoteHost(const std::string& value);
  const std::string& RemoteAddress() const { return remote_address_; }
  void SetRemoteAddress(const std::string& value);
  std::int32_t RemotePort() const { return remote_port_; }
  void SetRemotePort(std::int32_t value);
  const std::string& RemoteService() const { return remote_service_; }
  void SetRemoteService(const std::string& value);
  bool RemoteTrace() const { return remote_trace_; }
  void SetRemoteTrace(bool value);
  const std::string& RemoteUser() const { return remote_user_; }
  void SetRemoteUser(const std::string& value);
  const std::string& RemotePassword() const { return remote_password_; }
  void SetRemotePassword(const std::string& value);
  // Runs when the engine needs a server login, with the current user name and password and
  // Continue = true; it may change all three.
  std::function<void(TTabulaSession& Sender, std::string& UserName, std::string& Password,
                     bool& Continue)>
      OnRemoteLogin;
  // Receives each trace line of the remote engine session.
  std::function<void(TTabulaSession& Sender, const std::string& TraceMessage)> OnRemoteTrace;

  // Public settings; a value below the lower bound is raised to it.
  std::int32_t DataBufferSize() const { return data_buffer_size_; }
  void SetDataBufferSize(std::int32_t value);  // at least 8192
  std::int32_t DataBufferCount() const { return data_buffer_count_; }
  void SetDataBufferCount(std::int32_t value);  // at least 16
  std::int32_t IndexBufferSize() const { return index_buffer_size_; }
  void SetIndexBufferSize(std::int32_t value);  // at least 16384
  std::int32_t BlobBufferSize() const { return blob_buffer_size_; }
  void SetBlobBufferSize(std::int32_t value);  // at least 8192
  std::int32_t BlobBufferCount() const { return blob_buffer_count_; }
  void SetBlobBufferCount(std::int32_t value);  // at least 32

  void Open() { SetActive(true); }
  void Close() { SetActive(false); }

  // The database component of this session with that DatabaseName, or a temporary one created,
  // opened and owned by the session (the name as its Directory, or its RemoteDatabase in a
  // client-server session; "Memory" is the in-memory database). The database's reference count
  // is raised by one; give it back with CloseDatabase. Activates the session when needed.
  TTabulaDatabase& OpenDatabase(const std::string& name, TComponent* owner = nullptr);
  // One reference less; at none, without KeepConnection, a temporary database is freed and any
  // other is closed.
  void CloseDatabase(TTabulaDatabase& database);
  // The bound database component whose DatabaseName equals `name` without regard to case.
  TTabulaDatabase* FindDatabase(const std::string& name) const;
  // Database components bound to this session, in binding order (temporary ones owned).
  const std::vector<TTabulaDatabase*>& Databases() const { return databases_; }

  // Table passwords, forwarded to the engine session under the engine lock (activating the
  // session when needed).
  void AddPassword(const std::string& password);
  void RemovePassword(const std::string& password);
  void RemoveAllPasswords();
  // The engine asks for a table password: OnPassword when assigned, else the password dialog.
  // True when the engine should try again with the passwords now listed.
  bool RequestPassword();
  // The engine asks for a server login: OnRemoteLogin when assigned, else the login dialog.
  // The values come back cut to 255 characters; the result is the Continue answer.
  bool RequestRemoteLogin(std::string& user_name, std::string& password);

  // The engine-wide lock, re-entrant per session through a nesting count. The first Enter takes
  // the lock, activates the session when it is inactive and makes its engine session current;
  // when activation fails the lock is released again and the error propagates.
  void Enter();
  // REQUIRES: a matching Enter.
  void Leave();
  int LockCount() const { return lock_count_; }
  // Checks the invariants above (debug builds only).
  void AssertInvariants() const;

  // True for the first session created in the process, "Default".
  bool IsDefault() const { return is_default_; }
  // The engine session; null while inactive.
  TDataSession* DataSession() const { return data_session_; }

  // The automatically named session that `owner` holds, or null. Database and dataset
  // components created on such an owner take its session name.
  static TTabulaSession* AutoSessionOf(const TComponent* owner);

  // Renaming an automatically named session's component renames the session.
  void SetName(const std::string& name) override;

 protected:
  void Loaded() override;

 private:
  friend class TTabulaSessionList;
  friend class TTabulaDatabase;
  struct DefaultTag {};
  TTabulaSession(TTabulaSessionList& list, DefaultTag);

  void CheckInactive() const;
  void StartSession();
  void StopSession();
  void ApplySettings(TDataSession& engine);
  // Stores `value` into `*field`; on an active session passes a changed value on, under the lock.
  template <typename T, typename Apply>
  void UpdateSetting(T* field, T value, Apply apply);
  void TakeAutoSessionName();
  void UpdateAutoSessionName();
  // Gives every session client of the owner this session's name.
  void SetSessionNames();
  // Database list maintenance, called by the database component.
  void AddDatabase(TTabulaDatabase& database);
  void RemoveDatabase(TTabulaDatabase& database);
  void FreeTemporary(TTabulaDatabase& database);

  bool auto_session_name_ = false;
  bool force_buffer_flush_ = false;
  bool keep_connections_ = true;
  std::uint8_t lock_retry_count_ = 15;
  std::uint16_t lock_wait_time_ = 100;
  TLockProtocol lock_protocol_ = lpPessimistic;
  std::string private_dir_;
  std::uint16_t progress_steps_ = 20;
  std::string session_name_;
  bool strict_change_detection_ = false;
  TSessionType session_type_ = stLocal;
  TRemoteType remote_type_ = rtLAN;
  std::string remote_host_;
  std::string remote_address_ = "127.0.0.1";
  std::int32_t remote_port_ = 12005;
  std::string remote_service_;
  bool remote_trace_ = false;
  std::string remote_user_;
  std::string remote_password_;
  std::int32_t data_buffer_size_ = 16384;
  std::int32_t data_buffer_count_ = 8192;
  std::int32_t index_buffer_size_ = 16384;
  std::int32_t blob_buffer_size_ = 32768;
  std::int32_t blob_buffer_count_ = 8192;

  TTabulaSessionList& list_;  // the process-wide list, which outlives every session
  bool is_default_ = false;
  TDataSession* data_session_ = nullptr;  // guarded by EngineLock(); owned by private_session_
                                          // or, for the default session, by the engine
  std::unique_ptr<TDataSession> private_session_;            // guarded by EngineLock()
  std::vector<TTabulaDatabase*> databases_;                  // bound databases; not owned
  std::vector<std::unique_ptr<TTabulaDatabase>> temporary_;  // the temporary ones among them
  int lock_count_ = 0;                                       // nesting of Enter on this session
  int auto_number_ = -1;                                     // guarded by EngineLock()
  bool stored_active_ = false;
  bool activating_ = false;
  bool updating_auto_name_ = false;
};

// Takes the engine lock through a session for the guard's lifetime (Enter / Leave).
class TEngineLockGuard {
 public:
  explicit TEngineLockGuard(TTabulaSession& session) : session_(session) { session_.Enter(); }
  ~TEngineLockGuard() { session_.Leave(); }
  TEngineLockGuard(const TEngineLockGuard&) = delete;
  TEngineLockGuard& operator=(const TEngineLockGuard&) = delete;

 private:
  TTabulaSession& session_;
};

// Every session component of the process. Created, with the default session "Default", the
// first time anything asks for a session; at program end it deactivates the remaining sessions,
// last created first, and frees the default session.
class TTabulaSessionList {
 public:
  TTabulaSessionList(const TTabulaSessionList&) = delete;
  TTabulaSessionList& operator=(const TTabulaSessionList&) = delete;
  ~TTabulaSessionList();

  TTabulaSession& DefaultSession() const { return *default_session_; }
  // The session with that name (compared without regard to case); the default session for an
  // empty name; null when nothing matches.
  TTabulaSession* FindSession(const std::string& name) const;
  // As FindSession; raises "Session name %s is not valid." when nothing matches.
  TTabulaSession& SessionByName(const std::string& name) const;
  // A snapshot of the list, in creation order.
  std::vector<TTabulaSession*> List() const;
  int Count() const;

  // The engine session of the session that last entered the engine lock or changed state.
  TDataSession* CurrentDataSession() const { return current_data_session_; }

 private:
  friend class TTabulaSession;
  friend TTabulaSessionList& Sessions();
  TTabulaSessionList();

  void Add(TTabulaSession& session);
  void Remove(TTabulaSession& session);
  // REQUIRES: the engine lock is held.
  int TakeAutoNumber();
  void FreeAutoNumber(int number);
  void SetCurrentDataSession(TDataSession* session) { current_data_session_ = session; }

  mutable std::mutex lock_;
  std::vector<TTabulaSession*> sessions_;  // guarded by lock_; not owned (but default_session_)
  std::vector<bool> auto_numbers_;         // guarded by EngineLock()
  TDataSession* current_data_session_ = nullptr;  // guarded by EngineLock()
  std::unique_ptr<TTabulaSession> default_session_;
};

// The process-wide session list; creates it (and the default session) on first use.
TTabulaSessionList& Sessions();

// Dialog hooks for a user interface. The password dialog returns true when closed with OK (it
// adds and removes passwords through the session); the login dialog ("Database Login") may
// change the user name and password and returns whether to continue. Without an installed
// dialog a password request is answered no and a login request declines.
inline constexpr const char* kLoginDialogTitle = "Database Login";
using TPasswordDialog = std::function<bool(TTabulaSession& session)>;
using TLoginDialog =
    std::function<bool(TTabulaSession& session, std::string& user_name, std::string& password)>;
void SetPasswordDialog(TPasswordDialog dialog);
void SetLoginDialog(TLoginDialog dialog);

}  // namespace tabula
