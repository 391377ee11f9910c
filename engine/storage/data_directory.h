// The engine database: a directory of table files, the in-memory database (empty path), or a
// database a server opened (remote sessions). It keeps one shared table object per physical
// table in use, so that every cursor of a session on a table shares its files, caches and
// locks, and it is the unit of transactions.
//
// Thread-safety: used by one thread at a time, under the engine-wide lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tabula {

class TDataSession;
class TDataTable;
struct TTableDefinition;

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

  // ---- Tables. Names are found trimmed and without regard to case, together with the
  // in-memory flag: a disk table and an in-memory table of one name are two entries. Each
  // operation returns 0 or a negative engine code, or raises the table layer's errors.

  // The listed table object, or null.
  TDataTable* FindTable(const std::string& name, bool in_memory) const;
  // Finds or creates the table object and opens it for one more cursor. -TABULA_OSEACCES when
  // it is in use and either side asks for exclusive access (unless `clone`: a copy of the
  // exclusive cursor). A new object is listed only once it opened; it joins a running
  // transaction. `temporary` marks the files of a new (or idle) object as temporary.
  int AcquireTable(const std::string& name, bool in_memory, bool exclusive, bool clone,
                   bool temporary, TDataTable** table);
  // One cursor less; frees the object when nobody uses it any more. -TABULA_OSENOENT when the
  // object is not listed.
  int ReleaseTable(TDataTable* table, bool flush);
  // Creates the table's files through a table object; -TABULA_OSEACCES when it is in use.
  int CreateTable(const std::string& name, bool in_memory, const TTableDefinition& definition);
  // Deletes (renames) the table's files; -TABULA_OSEACCES when it is in use. A table that is
  // not listed is handled through a temporary object that never joins the list.
  int DeleteTable(const std::string& name, bool in_memory);
  int RenameTable(const std::string& name, bool in_memory, const std::string& new_name);
  // With ".DAT" added when missing: true when listed, else whether the file exists.
  bool TableExists(const std::string& name, bool in_memory);
  // A table name not in use: the first five digits of the thread's identifier, a counter
  // from 0 and ".DAT".
  std::string MakeTempTableName(bool in_memory);
  const std::vector<std::unique_ptr<TDataTable>>& Tables() const { return tables_; }

 private:
  TDataSession& session_;  // owns this object
  std::int32_t handle_ = 0;
  std::string name_;
  std::string path_;
  std::int32_t use_count_ = 0;
  bool in_transaction_ = false;
  std::vector<std::unique_ptr<TDataTable>> tables_;  // owned, in the order they were listed
};

// The temporary-name prefix of a thread identifier: its absolute decimal value (the identifier
// read as a signed 32-bit number) cut to the first five digits.
std::string TempNamePrefix(std::uint32_t thread_id);

}  // namespace tabula
