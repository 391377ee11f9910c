// The database component: names a database for the datasets of a session and holds the engine
// database (TDataDirectory) while it is connected.
//
// In a local session the database is a directory of table files (`Directory`; empty means the
// engine session's default directory, "Memory" the in-memory database); in a client-server
// session it is a database the server knows by name (`RemoteDatabase`). Datasets reach it by
// `DatabaseName` through their session's OpenDatabase and register here, so that closing the
// database closes them. The component also carries the transaction operations.
//
// States: disconnected; connected with its own engine database; connected with an engine
// database borrowed from another component of the same name (both with HandleShared).
// Orthogonally, in a transaction or not (kept by the engine database). Invariants:
//   - Connected() == (DataDirectory() != nullptr), and a connected database is bound to an
//     active session.
//   - HandleBorrowed() implies Connected().
//   - RefCount() == 0 while disconnected.
//   - Temporary() implies the database is bound to the session that owns it.
// AssertInvariants() checks them in debug builds.
// A borrowed engine database holds a use of the engine database like an own one, so either
// component can close first without leaving the other with a freed engine database.
//
// Thread-safety: open and close of the engine database and the transactions run under the
// session's engine lock; the component itself holds no lock and is used by one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "components/component.h"
#include "components/session.h"

namespace tabula {

class TDataDirectory;

// A dataset bound to a database. The dataset framework's datasets implement it; they register
// with the database while they hold it (RegisterDataSet / UnregisterDataSet).
class TDatabaseClient {
 public:
  // The database is closing: close the dataset. The dataset gives back its hold on the
  // database through the session's CloseDatabase and unregisters; afterwards the database may
  // be freed (a temporary database), so the dataset must drop its pointer to it.
  virtual void DatabaseClosing(TTabulaDatabase& database) = 0;

 protected:
  ~TDatabaseClient() = default;
};

class TTabulaDatabase : public TComponent, public TSessionClient {
 public:
  // A database owned by a session component is bound to it at once; one created on an owner
  // that holds an automatically named session takes that session's name.
  explicit TTabulaDatabase(TComponent* owner = nullptr);
  // Closes the database and leaves its session.
  ~TTabulaDatabase() override;

  // Published properties.
  std::string EngineVersion() const { return kEngineVersionText; }
  void SetEngineVersion(const std::string&) {}  // read-only in effect
  bool Connected() const { return data_directory_ != nullptr; }
  // While loading only records the wish; otherwise true opens and false closes.
  void SetConnected(bool value);
  const std::string& DatabaseName() const { return database_name_; }
  // Cut to 255 characters, "/" as "\"; refused on an open database; a name with ":" or "\" is
  // refused unless the database is temporary; must be unique within the session.
  void SetDatabaseName(const std::string& value);
  const std::string& Directory() const { return directory_; }
  // Refused on an open database; cut to 255 characters, "/" as "\", nothing else changed.
  void SetDirectory(const std::string& value);
  const std::string& RemoteDatabase() const { return remote_database_; }
  // Refused on an open database; cut to 255 characters, "/" as "\", then every leading and
  // trailing "\" removed.
  void SetRemoteDatabase(const std::string& value);
  bool HandleShared() const { return handle_shared_; }
  // Takes effect at the next open and the next name check.
  void SetHandleShared(bool value) { handle_shared_ = value; }
  bool KeepConnection() const { return keep_connection_; }
  // Switching it off while no OpenDatabase user holds the database closes it.
  void SetKeepConnection(bool value);
  const std::string& SessionName() const override { return session_name_; }
  // Refused on an open database; binds to the named session (without activating it).
  void SetSessionName(const std::string& value) override;
  // Fired before each connection attempt.
  std::function<void(TTabulaDatabase& Sender)> BeforeConnect;

  // Open: fires BeforeConnect, binds to the session by name, activates it and opens (or
  // borrows) the engine database. Does nothing when connected. On an error the component stays
  // disconnected.
  void Open();
  // Closes the bound datasets (last bound first) and gives the engine database back.
  void Close();

  // Transactions on the engine database.
  void StartTransaction();
  void Commit(bool force_flush = false);
  void Rollback();
  bool InTransaction() const;

  // Binds to the session named by SessionName without activating it: a missing session leaves
  // the binding as it is; a name taken by another database component of the session raises
  // "Database name %s already exists." (and clears DatabaseName) unless both share handles.
  void BindSession() { Bind(false); }

  // Dataset registration.
  void RegisterDataSet(TDatabaseClient& dataset);
  void UnregisterDataSet(TDatabaseClient& dataset);
  const std::vector<TDatabaseClient*>& DataSets() const { return datasets_; }
  int DataSetCount() const { return static_cast<int>(datasets_.size()); }

  // The session component this database is bound to; null when unbound.
  TTabulaSession* Session() const { return session_; }
  // The engine database; null while disconnected.
  TDataDirectory* DataDirectory() const { return data_directory_; }
  bool HandleBorrowed() const { return borrowed_; }
  // Created by its session's OpenDatabase and owned by the session.
  bool Temporary() const { return temporary_; }
  // Users through the session's OpenDatabase not yet matched by CloseDatabase.
  int RefCount() const { return ref_count_; }
  // Checks the invariants above (debug builds only).
  void AssertInvariants() const;

 protected:
  void Loaded() override;

 private:
  friend class TTabulaSession;

  void CheckInactive() const;
  void CheckConnected() const;
  // Binding to the session; `opening` makes a missing session an error and activates it.
  void Bind(bool opening);
  // Raises when another database of the bound session has `name` (see BindSession).
  void CheckUniqueName(const std::string& name);
  void JoinSession(TTabulaSession& session);
  void LeaveSession();
  // The bound session is being destroyed.
  void SessionDestroyed(TTabulaSession& session);
  // Raises a negative engine result with this database as the context.
  void CheckEngineResult(int result) const;

  std::string database_name_;
  std::string directory_;
  std::string remote_database_;
  bool handle_shared_ = false;
  bool keep_connection_ = true;
  std::string session_name_;

  TTabulaSession* session_ = nullptr;         // not owned
  TDataDirectory* data_directory_ = nullptr;  // owned by the session's engine session
  bool borrowed_ = false;
  int ref_count_ = 0;
  bool temporary_ = false;
  std::vector<TDatabaseClient*> datasets_;  // not owned
  bool stored_connected_ = false;
};

}  // namespace tabula
