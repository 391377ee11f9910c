// The engine session: the root object of the engine.
//
// Every engine database, and through it every table, cursor and query, belongs to one
// TDataSession and reads its settings from it: table passwords, lock retry and wait settings,
// the lock protocol, progress granularity, cache budgets and the private directory for
// temporary files. A session is local (each database is a directory the engine opens itself)
// or remote (operations go to a database server); the kind is fixed before it connects, and
// databases, cursors and statements ask Remote() and branch.
//
// The engine is started by StartEngine(), which creates the process-wide pools and the default
// engine session; StopEngine() destroys them in reverse order.
//
// Thread-safety: a session holds no lock of its own; every call from the components runs under
// the engine-wide lock (EngineLock()), so one thread at a time uses a session.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tabula {

class TDataDirectory;

enum TLockProtocol : std::uint8_t { lpPessimistic = 0, lpOptimistic = 1 };

// Length limit of every string the session stores.
constexpr std::size_t kMaxSessionText = 255;

// Turns a directory into the engine's form: trimmed of blanks, "/" as "\", ending in "\".
// An empty (or all-blank) directory stays empty.
std::string NormalizeDirectory(const std::string& directory);

// Trims leading and trailing blanks.
std::string TrimBlanks(const std::string& text);

// Case-insensitive (ANSI letters) equality of two texts after trimming both.
bool SameNameTrimmed(const std::string& a, const std::string& b);

class TDataSession {
 public:
  using TLoginCallback = std::function<bool(std::string& user, std::string& password)>;
  using TTraceCallback = std::function<void(const std::string& message)>;

  TDataSession();
  ~TDataSession();
  TDataSession(const TDataSession&) = delete;
  TDataSession& operator=(const TDataSession&) = delete;

  // Directory of a database opened without one: the process's current directory when the
  // session was created.
  const std::string& DefaultDirectory() const { return default_directory_; }

  const std::string& PrivateDir() const { return private_dir_; }
  void SetPrivateDir(const std::string& directory);
  // PrivateDir when set, else the default directory.
  std::string TempDirectory() const;

  std::uint16_t ProgressSteps() const { return progress_steps_; }
  void SetProgressSteps(std::uint16_t steps);
  // 100 div ProgressSteps; 100 when ProgressSteps is 0.
  std::uint16_t ProgressIncrement() const;

  bool ForceBufferFlush() const { return force_buffer_flush_; }
  void SetForceBufferFlush(bool value);
  bool StrictChangeDetection() const { return strict_change_detection_; }
  void SetStrictChangeDetection(bool value);
  std::uint8_t LockRetryCount() const { return lock_retry_count_; }
  void SetLockRetryCount(std::uint8_t value);
  std::uint16_t LockWaitTime() const { return lock_wait_time_; }
  void SetLockWaitTime(std::uint16_t value);
  TLockProtocol LockProtocol() const { return lock_protocol_; }
  void SetLockProtocol(TLockProtocol value);

  // Buffer settings, stored as given (the session component enforces the lower bounds).
  std::int32_t DataBufferSize() const { return data_buffer_size_; }
  void SetDataBufferSize(std::int32_t value) { data_buffer_size_ = value; }
  std::int32_t DataBufferCount() const { return data_buffer_count_; }
  void SetDataBufferCount(std::int32_t value) { data_buffer_count_ = value; }
  std::int32_t IndexBufferSize() const { return index_buffer_size_; }
  void SetIndexBufferSize(std::int32_t value) { index_buffer_size_ = value; }
  std::int32_t BlobBufferSize() const { return blob_buffer_size_; }
  void SetBlobBufferSize(std::int32_t value) { blob_buffer_size_ = value; }
  std::int32_t BlobBufferCount() const { return blob_buffer_count_; }
  void SetBlobBufferCount(std::int32_t value) { blob_buffer_count_ = value; }

  // Session kind and remote settings. Kind and LAN flag are ignored while connected.
  bool Remote() const { return remote_; }
  void SetRemote(bool value);
  bool RemoteLan() const { return remote_lan_; }
  void SetRemoteLan(bool value);
  bool Connected() const { return connected_; }
  bool LoggedIn() const { return logged_in_; }
  const std::string& RemoteHost() const { return remote_host_; }
  void SetRemoteHost(const std::string& value);
  const std::string& RemoteAddress() const { return remote_address_; }
  void SetRemoteAddress(const std::string& value);
  std::uint16_t RemotePort() const { return remote_port_; }
  void SetRemotePort(std::uint16_t value) { remote_port_ = value; }
  const std::string& RemoteService() const { return remote_service_; }
  void SetRemoteService(const std::string& value);
  const std::string& RemoteUser() const { return remote_user_; }
  void SetRemoteUser(const std::string& value);
  const std::string& RemotePassword() const { return remote_password_; }
  void SetRemotePassword(const std::string& value);
  bool RemoteTrace() const { return remote_trace_; }
  void SetRemoteTrace(bool value) { remote_trace_ = value; }
  // The name errors of this session's server carry: the host name, or the address.
  std::string RemoteName() const;

  // Table passwords, compared exactly (byte for byte).
  void AddPassword(const std::string& password);
  void RemovePassword(const std::string& password);
  void RemoveAllPasswords();
  bool HasPassword(const std::string& password) const;
  const std::vector<std::string>& Passwords() const { return passwords_; }

  // Finds a database by path (local) and raises its use count, or creates one. The returned
  // object is owned by the session.
  TDataDirectory* OpenDatabase(const std::string& name, const std::string& directory,
                               bool no_request = false);
  // One use less; at 0 the database is freed. Unknown objects and use count 0 are ignored.
  void CloseDatabase(TDataDirectory* database, bool connection_lost = false);
  const std::vector<std::unique_ptr<TDataDirectory>>& Databases() const { return databases_; }

  // Client-server connection of a remote session, in start-up order: Connect, Login (asking
  // the login callback when user or password is missing), SendSessionParams; Logout when the
  // session stops (nothing when not connected). The database server client is not built into
  // this engine yet, so Connect, Login and SendSessionParams raise TABULA_REMOTECONNECT.
  void Connect();
  void Login();
  void SendSessionParams();
  void Logout();

  void SetLoginCallback(TLoginCallback callback) { login_callback_ = std::move(callback); }
  void SetTraceCallback(TTraceCallback callback) { trace_callback_ = std::move(callback); }

 private:
  // Branch point for the remote operations: the client of the database server is not built
  // into this engine yet, so every remote request fails as a connection that cannot be made.
  [[noreturn]] void RaiseRemoteUnavailable() const;
  // Resends the session parameters to a logged-in server.
  void SessionParamsChanged();

  std::vector<std::unique_ptr<TDataDirectory>> databases_;
  std::string default_directory_;
  std::string private_dir_;
  std::uint16_t progress_steps_ = 20;
  std::vector<std::string> passwords_;
  bool force_buffer_flush_ = false;
  bool strict_change_detection_ = false;
  std::uint8_t lock_retry_count_ = 15;
  std::uint16_t lock_wait_time_ = 100;
  TLockProtocol lock_protocol_ = lpPessimistic;
  bool remote_ = false;
  bool remote_lan_ = true;
  bool connected_ = false;
  bool logged_in_ = false;
  std::string remote_host_;
  std::string remote_address_ = "127.0.0.1";
  std::uint16_t remote_port_ = 12005;
  std::string remote_service_;
  std::string remote_user_;
  std::string remote_password_;
  bool remote_trace_ = false;
  TLoginCallback login_callback_;
  TTraceCallback trace_callback_;
  std::int32_t data_buffer_size_ = 16384;
  std::int32_t data_buffer_count_ = 8192;
  std::int32_t index_buffer_size_ = 16384;
  std::int32_t blob_buffer_size_ = 32768;
  std::int32_t blob_buffer_count_ = 8192;
};

// Engine start-up: creates the process-wide pools and the engine-wide lock, then the default
// engine session. Does nothing when the engine is already started.
void StartEngine();
// Engine shutdown: destroys the default engine session, then the pools in reverse order.
void StopEngine();
bool EngineStarted();
// The default engine session; raises TABULA_NOTINITIALIZED when the engine is not started.
TDataSession& DefaultDataSession();
// The engine-wide re-entrant lock under which the components call into the engine.
std::recursive_mutex& EngineLock();

}  // namespace tabula
