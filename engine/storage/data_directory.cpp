#include "engine/storage/data_directory.h"

#include <cstdlib>

#include "engine/base/engine_error.h"
#include "engine/base/platform.h"
#include "engine/storage/data_session.h"
#include "engine/storage/data_table.h"
#include "engine/storage/file_layer.h"

namespace tabula {

namespace {

bool EndsWithDataExtension(const std::string& name) {
  if (name.size() < 4) return false;
  return SameNameTrimmed(name.substr(name.size() - 4), kDataFileExtension);
}

int IndexOfTable(const std::vector<std::unique_ptr<TDataTable>>& tables, const TDataTable* table) {
  for (std::size_t i = 0; i < tables.size(); ++i) {
    if (tables[i].get() == table) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace

std::string TempNamePrefix(std::uint32_t thread_id) {
  const std::int64_t value =
      std::llabs(static_cast<std::int64_t>(static_cast<std::int32_t>(thread_id)));
  return std::to_string(value).substr(0, 5);
}

TDataDirectory::TDataDirectory(TDataSession& session, const std::string& name,
                               const std::string& path)
    : session_(session),
      name_(name.substr(0, kMaxSessionText)),
      path_(path.substr(0, kMaxSessionText)) {}

TDataDirectory::~TDataDirectory() {
  if (!session_.Remote()) {
    try {
      Rollback(true);
    } catch (const std::exception&) {
    }
  }
  // Later tables first: the reverse of the order they were listed in.
  while (!tables_.empty()) tables_.pop_back();
}

std::string TDataDirectory::DisplayName() const { return session_.Remote() ? name_ : path_; }

TDataTable* TDataDirectory::FindTable(const std::string& name, bool in_memory) const {
  for (const auto& table : tables_) {
    if (table->InMemory() == in_memory && SameNameTrimmed(table->TableName(), name)) {
      return table.get();
    }
  }
  return nullptr;
}

int TDataDirectory::AcquireTable(const std::string& name, bool in_memory, bool exclusive,
                                 bool clone, bool temporary, TDataTable** result) {
  *result = nullptr;
  TDataTable* table = FindTable(name, in_memory);
  if (table != nullptr && table->InUse()) {
    if ((table->Exclusive() || exclusive) && (table->OpenCount() > 0 || !table->KeptAlive()) &&
        !clone) {
      return -static_cast<int>(TABULA_OSEACCES);
    }
    table->OpenFiles();
  } else {
    std::unique_ptr<TDataTable> created;
    if (table == nullptr) {
      created = std::make_unique<TDataTable>(*this, name);
      table = created.get();
    }
    table->SetExclusive(exclusive);
    table->SetInMemory(in_memory);
    table->SetTemporary(temporary);
    table->OpenFiles();
    if (created) tables_.push_back(std::move(created));
  }
  if (in_transaction_) {
    try {
      table->StartTransaction();
    } catch (...) {
      ReleaseTable(table, false);
      throw;
    }
  }
  *result = table;
  return 0;
}

int TDataDirectory::ReleaseTable(TDataTable* table, bool flush) {
  const int at = IndexOfTable(tables_, table);
  if (at < 0) return -static_cast<int>(TABULA_OSENOENT);
  if (table->OpenCount() > 0) table->CloseFiles(flush);
  if (!table->InUse()) {
    // Unlist before freeing: the destructor may raise nothing, but the list must never keep
    // a freed object.
    std::unique_ptr<TDataTable> owned = std::move(tables_[at]);
    tables_.erase(tables_.begin() + at);
    owned->CloseFiles(flush);
  }
  return 0;
}

int TDataDirectory::CreateTable(const std::string& name, bool in_memory,
                                const TTableDefinition& definition) {
  TDataTable* table = FindTable(name, in_memory);
  if (table != nullptr && table->InUse()) return -static_cast<int>(TABULA_OSEACCES);
  std::unique_ptr<TDataTable> created;
  if (table == nullptr) {
    created = std::make_unique<TDataTable>(*this, name);
    table = created.get();
  }
  table->SetExclusive(true);
  table->SetInMemory(in_memory);
  table->CreateFiles(definition);
  // A new object has nothing to keep: no cursor has it open.
  return 0;
}

int TDataDirectory::DeleteTable(const std::string& name, bool in_memory) {
  TDataTable* table = FindTable(name, in_memory);
  if (table != nullptr && table->InUse()) return -static_cast<int>(TABULA_OSEACCES);
  if (table != nullptr) {
    table->RemoveFiles();
    const int at = IndexOfTable(tables_, table);
    tables_.erase(tables_.begin() + at);
    return 0;
  }
  TDataTable temporary(*this, name);
  temporary.SetInMemory(in_memory);
  temporary.RemoveFiles();
  return 0;
}

int TDataDirectory::RenameTable(const std::string& name, bool in_memory,
                                const std::string& new_name) {
  TDataTable* table = FindTable(name, in_memory);
  if (table != nullptr && table->InUse()) return -static_cast<int>(TABULA_OSEACCES);
  if (table != nullptr) {
    table->RenameFiles(new_name, false);
    // The object still carries the old name: it goes, and a later open makes a new one.
    const int at = IndexOfTable(tables_, table);
    tables_.erase(tables_.begin() + at);
    return 0;
  }
  TDataTable temporary(*this, name);
  temporary.SetInMemory(in_memory);
  temporary.RenameFiles(new_name, false);
  return 0;
}

bool TDataDirectory::TableExists(const std::string& name, bool in_memory) {
  std::string file = TrimBlanks(name);
  if (!EndsWithDataExtension(file)) file += kDataFileExtension;
  if (FindTable(file, in_memory) != nullptr) return true;
  if (session_.Remote()) {
    // REQUEST_TABLEEXISTS goes to the server with the remote session layer.
    RaiseEngineError(TABULA_REMOTECONNECT, session_.RemoteName(), "", DisplayName(), name, "", "",
                     "");
  }
  return TFileList::Instance().Exists(in_memory ? file : path_ + file, in_memory);
}

std::string TDataDirectory::MakeTempTableName(bool in_memory) {
  const std::string prefix = TempNamePrefix(CurrentPlatform().ThreadId());
  for (std::uint32_t n = 0;; ++n) {
    std::string candidate = prefix + std::to_string(n) + kDataFileExtension;
    if (!TableExists(candidate, in_memory)) return candidate;
  }
}

int TDataDirectory::StartTransaction(bool local_only) {
  if (in_transaction_) return 0;
  if (session_.Remote() && !local_only) {
    RaiseEngineError(TABULA_REMOTECONNECT, session_.RemoteName(), "", DisplayName(), "", "", "",
                     "");
  }
  try {
    for (auto& table : tables_) table->StartTransaction();
  } catch (...) {
    for (auto& table : tables_) {
      try {
        table->RollbackTransaction();
      } catch (const std::exception&) {
      }
    }
    throw;
  }
  in_transaction_ = true;
  return 0;
}

int TDataDirectory::Commit(bool end_transaction, bool force_flush, bool local_only) {
  (void)end_transaction;
  if (session_.Remote() && !local_only) {
    RaiseEngineError(TABULA_REMOTECONNECT, session_.RemoteName(), "", DisplayName(), "", "", "",
                     "");
  }
  std::exception_ptr failure;
  try {
    for (auto it = tables_.rbegin(); it != tables_.rend(); ++it) (*it)->PrepareCommit();
    for (auto it = tables_.rbegin(); it != tables_.rend(); ++it) {
      (*it)->CommitTransaction(false, force_flush);
    }
  } catch (...) {
    failure = std::current_exception();
  }
  // Every table leaves the transaction, whatever happened above; tables whose cursors all
  // closed during the transaction go now.
  for (int i = static_cast<int>(tables_.size()) - 1; i >= 0; --i) {
    TDataTable* table = tables_[i].get();
    try {
      table->FinishCommit();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
    if (table->OpenCount() == 0 && !table->InUse()) {
      try {
        ReleaseTable(table, true);
      } catch (...) {
        if (!failure) failure = std::current_exception();
      }
    }
  }
  in_transaction_ = false;
  if (failure) std::rethrow_exception(failure);
  return 0;
}

int TDataDirectory::Rollback(bool local_only) {
  if (session_.Remote() && !local_only) {
    RaiseEngineError(TABULA_REMOTECONNECT, session_.RemoteName(), "", DisplayName(), "", "", "",
                     "");
  }
  std::exception_ptr failure;
  for (int i = static_cast<int>(tables_.size()) - 1; i >= 0; --i) {
    TDataTable* table = tables_[i].get();
    try {
      table->RollbackTransaction();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
    if (table->OpenCount() == 0) {
      try {
        ReleaseTable(table, false);
      } catch (...) {
        if (!failure) failure = std::current_exception();
      }
    }
  }
  in_transaction_ = false;
  if (failure) std::rethrow_exception(failure);
  return 0;
}

}  // namespace tabula
