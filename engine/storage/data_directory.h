// The engine database: a directory of table files, the in-memory database (empty path), or a
// database a server opened (remote sessions). It keeps one shared table object per physical
// table in use, so that every cursor of a session on a table shares its files, caches and
// locks, and it is the unit of transactions.
//
// Thread-safety: used by one thread at a time, under the engine-wide lock.
#pragma once

#include <cstdint>
#include <string>

namespace tabula {

class TDataSession;

class TDataDirectory {
 public:
  // `session` owns this object.
  TDataDirectory(TDataSession& session, const std::string& name, const std::string& path);
  ~TDataDirectory();
  TDataDirectory(const TDataDirectory&) = delete;
  TDataDirectory& operator=(const TDataDirectory&) = delete;

  TDataSession& Session() const { return session_; }
  const std::string& Name() const { return name_; }
  // The directory ending in "\"; empty for the in-memory database and remote databases.
  const std::string& Path() const { return path_; }
  bool InMemory() const { return path_.empty(); }
  // The server's database handle (remote sessions).
  std::int32_t Handle() const { return handle_; }
  void SetHandle(std::int32_t handle) { handle_ = handle; }
  std::int32_t UseCount() const { return use_count_; }
  void SetUseCount(std::int32_t count) { use_count_ = count; }
  bool InTransaction() const { return in_transaction_; }

  // Transactions; each returns 0 or a negative engine error code. `local_only` suppresses the
  // request to a server (set inside a server, and by statements that run their own transaction).
  // The table-level work (starting, committing and rolling back the transaction of every table
  // in use, releasing its locks) is completed with the table and locking layers; until then
  // these keep the InTransaction state of the database.
  // Nothing happens when a transaction is already active.
  int StartTransaction(bool local_only = false);
  // Ends the transaction whether or not the commit of a table fails.
  int Commit(bool end_transaction, bool force_flush, bool local_only = false);
  int Rollback(bool local_only = false);
  // The name for remote databases, else the path: the database name in error contexts.
  std::string DisplayName() const;

 private:
  TDataSession& session_;  // owns this object
  std::int32_t handle_ = 0;
  std::string name_;
  std::string path_;
  std::int32_t use_count_ = 0;
  bool in_transaction_ = false;
};

}  // namespace tabula
