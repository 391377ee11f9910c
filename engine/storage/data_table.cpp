#include "engine/storage/data_table.h"

#include "engine/base/engine_error.h"
#include "engine/index/btree.h"
#include "engine/index/collation.h"
#include "engine/index/keys.h"
#include "engine/storage/data_directory.h"
#include "engine/storage/data_session.h"

namespace tabula {

std::string ChangeFileExtension(const std::string& name, const std::string& extension) {
  const std::size_t slash = name.find_last_of("\\/:");
  const std::size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
    return name.substr(0, dot) + extension;
  }
  return name + extension;
}

TDataTable::TDataTable(TDataDirectory& database, const std::string& table_name)
    : database_(database),
      table_name_(TrimBlanks(table_name).substr(0, kMaxSessionText)),
      data_file_(std::make_unique<TDataFile>()),
      index_file_(std::make_unique<TIndexFile>()),
      blob_file_(std::make_unique<TBlobFile>()),
      locks_(std::make_unique<TTableLocks>(*this)) {
  data_file_->SetOwner(this);
  data_file_->SetSession(&database_.Session());
  data_file_->SetTableName(table_name_);
  index_file_->SetTableName(table_name_);
  blob_file_->SetOwner(this);
  blob_file_->SetSession(&database_.Session());
  blob_file_->SetTableName(table_name_);
  index_file_->OnModified = [this] { modified_ = true; };
}

TDataTable::~TDataTable() {
  if (!is_open_) return;
  open_count_ = 0;
  try {
    if (InTransaction()) RollbackTransaction();
  } catch (const std::exception&) {
  }
  try {
    CloseFiles(true);
  } catch (const std::exception&) {
    CloseAllFiles();
  }
}

TDataSession& TDataTable::Session() const { return database_.Session(); }

bool TDataTable::StrictChangeDetection() const { return Session().StrictChangeDetection(); }
std::uint8_t TDataTable::LockRetryCount() const { return Session().LockRetryCount(); }
std::uint16_t TDataTable::LockWaitTime() const { return Session().LockWaitTime(); }
bool TDataTable::RemoteSession() const { return Session().Remote(); }

bool TDataTable::InternalPrimaryIndex() const {
  return index_file_->Opened() && index_file_->NoPrimaryIndex();
}

std::string TDataTable::FilePath(const std::string& extension) const {
  const std::string file = ChangeFileExtension(table_name_, extension);
  return in_memory_ ? file : database_.Path() + file;
}

void TDataTable::PrepareFiles() {
  TFileHandler* files[] = {data_file_.get(), index_file_.get(), blob_file_.get()};
  const char* extensions[] = {kDataFileExtension, kIndexFileExtension, kBlobFileExtension};
  for (int i = 0; i < 3; ++i) {
    files[i]->SetFileName(FilePath(extensions[i]));
    files[i]->SetExclusive(exclusive_);
    files[i]->SetInMemory(in_memory_);
    files[i]->SetTemporary(temporary_);
  }
  // The page cache of each index is sized from the data buffer budget; the session's
  // IndexBufferSize is only stored and passed on.
  index_file_->SetDataBufferSize(Session().DataBufferSize());
  index_file_->SetTempDirectory(Session().TempDirectory());
}

void TDataTable::CloseAllFiles() {
  for (TFileHandler* file :
       {static_cast<TFileHandler*>(index_file_.get()), static_cast<TFileHandler*>(blob_file_.get()),
        static_cast<TFileHandler*>(data_file_.get())}) {
    try {
      file->Close();
    } catch (const std::exception&) {
    }
  }
  is_open_ = false;
  index_rebuilt_ = false;
  keys_rebuilt_ = false;
  modified_ = false;
  read_only_ = false;
  read_only_files_ = false;
}

void TDataTable::OpenIndexFile() {
  index_file_->SetEncrypted(data_file_->Encrypted());
  try {
    index_file_->Open();
    return;
  } catch (const ETabulaEngineError& error) {
    if (error.ErrorCode() != TABULA_OSENOENT) throw;
  }
  // The index file is gone: a new, empty one takes its place and the first cursor rebuilds
  // the keys from the records. Its definitions went with it, so the new file has the system
  // indexes only and records in insertion order (no primary index).
  index_rebuilt_ = true;
  index_file_->CreateHeader();
  index_file_->DefinePrimaryIndex(TIndexDefinition(), data_file_->Descriptors());
  index_file_->CreateNew();
  index_file_->Close();
  index_file_->Open();
}

void TDataTable::OpenFiles() {
  if (is_open_) {
    ++open_count_;
    return;
  }
  if (RemoteSession()) {
    is_open_ = true;
    ++open_count_;
    return;
  }
  PrepareFiles();
  try {
    data_file_->Open();
    OpenIndexFile();
    if (data_file_->Header().BlobFieldCount > 0) {
      blob_file_->SetBlockSize(data_file_->GetBlobBlockSize());
      blob_file_->SetEncrypted(data_file_->Encrypted());
      blob_file_->Open();
    }
  } catch (...) {
    CloseAllFiles();
    throw;
  }
  read_only_ = false;
  read_only_files_ = false;
  for (TFileHandler* file :
       {static_cast<TFileHandler*>(data_file_.get()), static_cast<TFileHandler*>(index_file_.get()),
        static_cast<TFileHandler*>(blob_file_.get())}) {
    if (!file->Opened()) continue;
    if (file->ReadOnly() || file->ReadOnlyAttribute()) read_only_ = true;
    if (file->ReadOnlyAttribute()) read_only_files_ = true;
  }
  is_open_ = true;
  ++open_count_;
}

void TDataTable::CloseFiles(bool flush) {
  if (open_count_ > 0) --open_count_;
  if (open_count_ > 0 || InTransaction() || !is_open_) return;
  if (RemoteSession()) {
    is_open_ = false;
    return;
  }
  try {
    if (exclusive_ && !read_only_ && !(temporary_ && !flush)) {
      Flush(false, false, false, true);
    }
  } catch (...) {
    locks_->ReleaseAll();
    CloseAllFiles();
    throw;
  }
  locks_->ReleaseAll();
  // Close writes nothing more: the flush above wrote what this table had to write.
  index_file_->DiscardPages();
  CloseAllFiles();
}

void TDataTable::CreateFiles(const TTableDefinition& definition) {
  PrepareFiles();
  // The index header first: its definitions are checked before any file exists.
  index_file_->SetEncrypted(definition.Encrypted);
  index_file_->CreateHeader();
  TIndexDefinition no_primary;
  bool primary_defined = false;
  for (const TIndexDefinition& index : definition.Indexes) {
    if (TrimBlanks(index.Name).empty() && !primary_defined) {
      index_file_->DefinePrimaryIndex(index, definition.Fields);
      primary_defined = true;
    } else {
      index_file_->AddSecondaryIndex(index, definition.Fields);
    }
  }
  if (!primary_defined) index_file_->DefinePrimaryIndex(no_primary, definition.Fields);

  data_file_->CreateTable(definition.LocaleID, definition.SortID, definition.Fields,
                          definition.BlobBlockSize, definition.Description, definition.Password,
                          definition.Encrypted, definition.UserMajorVersion,
                          definition.UserMinorVersion);
  bool blob_attempted = false;
  try {
    data_file_->SetLastRecordID(definition.LastRecordID);
    data_file_->WriteHeader(true);
    data_file_->WriteDescriptors();
    data_file_->Close();
    index_file_->CreateNew();
    index_file_->Close();
    if (CountBlobFields(definition.Fields) > 0) {
      blob_file_->SetBlockSize(data_file_->GetBlobBlockSize());
      blob_file_->SetEncrypted(definition.Encrypted);
      blob_attempted = true;
      blob_file_->CreateNew();
      blob_file_->WriteHeader();
      blob_file_->Close();
    }
  } catch (...) {
    CloseAllFiles();
    TFileList& list = TFileList::Instance();
    list.Remove(FilePath(kDataFileExtension), in_memory_);
    list.Remove(FilePath(kIndexFileExtension), in_memory_);
    if (blob_attempted && list.Exists(FilePath(kBlobFileExtension), in_memory_)) {
      list.Remove(FilePath(kBlobFileExtension), in_memory_);
    }
    throw;
  }
  CloseAllFiles();
}

void TDataTable::RemoveFiles() {
  PrepareFiles();
  data_file_->Remove();
  index_file_->Remove();
  if (blob_file_->Exists()) blob_file_->Remove();
}

void TDataTable::RenameFiles(const std::string& new_name, bool to_backup) {
  PrepareFiles();
  std::string target = new_name;
  const bool as_given = new_name.empty() || new_name.find(':') != std::string::npos ||
                        new_name.find('\\') != std::string::npos || in_memory_;
  if (!as_given) target = database_.Path() + new_name;
  struct TRename {
    TFileHandler* file;
    const char* extension;
    const char* backup;
  };
  const TRename renames[] = {{data_file_.get(), kDataFileExtension, kDataBackupExtension},
                             {index_file_.get(), kIndexFileExtension, kIndexBackupExtension},
                             {blob_file_.get(), kBlobFileExtension, kBlobBackupExtension}};
  for (const TRename& rename : renames) {
    if (!rename.file->Exists()) continue;
    const std::string base = to_backup ? rename.file->FileName() : target;
    rename.file->Rename(ChangeFileExtension(base, to_backup ? rename.backup : rename.extension));
  }
}

void TDataTable::BackupIndex() {
  Flush(false, false, false, true);
  index_file_->CopyTo(FilePath(kIndexBackupExtension), false);
}

void TDataTable::RestoreIndex(bool keep_current, bool delete_backup) {
  const std::string backup = FilePath(kIndexBackupExtension);
  TFileList& list = TFileList::Instance();
  if (!keep_current) {
    index_file_->DiscardPages();
    index_file_->CopyFrom(backup, false);
    index_file_->ReadHeader();
  }
  if (delete_backup && list.Exists(backup, in_memory_)) {
    const std::int32_t result = list.Remove(backup, in_memory_);
    if (result < 0) RaiseTableError(static_cast<std::uint16_t>(-result), backup);
  }
}

void TDataTable::RebuildIndexKeys() {
  if (!index_rebuilt_ || keys_rebuilt_ || RemoteSession() || read_only_files_) return;
  keys_rebuilt_ = true;
  TKeyIndexDef definition;
  definition.Kind = TKeyIndexKind::ikSysDeleted;
  const TIndexKeys keys(definition, *FindCollation(0, 0));
  const TIndexKeysComparator comparator(keys);
  const bool locked = locks_->LockWrite();
  (void)locked;
  try {
    TRecordCache& cache = *data_file_->Cache();
    const std::size_t record_size = static_cast<std::size_t>(data_file_->RecordSize());
    std::vector<std::uint8_t> key(keys.KeyLength());
    std::uint32_t active = 0;
    for (std::int32_t record_no = 1; record_no <= data_file_->PhysicalRecordCount(); ++record_no) {
      TRecord* record = cache.GetRecord(nullptr, record_no, true, TReadDirection::kForward, false);
      const std::uint16_t code = keys.BuildKey(record->Image(), record_size, key.data());
      if (record->Status() == kStatusActive) ++active;
      cache.Unpin(record);
      if (code != 0) RaiseTableError(code, table_name_);
      index_file_->InsertKey(kSysDeletedSlot, comparator, key.data(),
                             static_cast<std::uint32_t>(record_no));
    }
    index_file_->SetRecordCount(active);
    // Inside a transaction the keys stay in the caches like every other change.
    Flush(false, true, false, !InTransaction());
  } catch (...) {
    locks_->UnlockWrite();
    throw;
  }
  locks_->UnlockWrite();
}

void TDataTable::EmptyFiles() {
  data_file_->EmptyTable();
  index_file_->EmptyIndexes();
  if (blob_file_->Opened()) blob_file_->EmptyFile();
  data_file_->Cache()->DiscardAll();
  index_file_->DiscardPages();
  modified_ = true;
}

bool TDataTable::CheckForChanges() {
  if (!is_open_ || RemoteSession()) return false;
  bool changed = false;
  if (index_file_->HeaderChanged()) {
    data_file_->ReadHeader();
    data_file_->Cache()->DiscardAll();
    changed = true;
  } else if (data_file_->HeaderChanged()) {
    data_file_->Cache()->DiscardAll();
    changed = true;
  }
  // Checked whatever the other headers said: a writer that changed records and values moves
  // both counters, and a stale block must not survive because the records were refreshed.
  if (blob_file_->Opened() && blob_file_->HeaderChanged()) {
    blob_file_->DiscardAll();
    changed = true;
  }
  return changed;
}

void TDataTable::Flush(bool trim_caches, bool force_header, bool force_device, bool force_write) {
  if (!is_open_ || RemoteSession() || read_only_files_) return;
  if (!force_write && (exclusive_ || InTransaction())) {
    // Written when the table is closed, flushed explicitly, or the transaction commits; the
    // counters move in memory so that the table's other cursors see the change.
    data_file_->TouchHeader();
    index_file_->MarkHeaderDirty();
    if (blob_file_->Opened()) blob_file_->TouchHeader();
    return;
  }
  const bool device = force_device || Session().ForceBufferFlush();
  bool wrote = data_file_->Cache()->WriteDirty();
  wrote = data_file_->WriteHeader(force_header || wrote) || wrote;
  wrote = data_file_->WriteDescriptors() || wrote;
  if (wrote && device) data_file_->TFileHandler::Flush();
  if (trim_caches) data_file_->Cache()->Trim();

  const std::uint64_t writes_before = index_file_->PageWrites();
  index_file_->FlushPages();
  const bool pages_written = index_file_->PageWrites() != writes_before;
  const bool index_header = force_header || pages_written || index_file_->HeaderDirty();
  index_file_->WriteHeader(force_header || pages_written);
  if ((pages_written || index_header) && device) index_file_->TFileHandler::Flush();
  if (trim_caches) index_file_->TrimCaches();

  if (!blob_file_->Opened()) return;
  const bool blocks_written = blob_file_->WriteDirty();
  const bool blob_header = blob_file_->WriteHeader(force_header || blocks_written);
  if ((blocks_written || blob_header) && device) blob_file_->TFileHandler::Flush();
  if (trim_caches) blob_file_->Trim();
}

void TDataTable::StartTransaction() {
  if (!is_open_ || read_only_files_ || InTransaction()) return;
  if (exclusive_) Flush(false, false, false, true);
  index_file_->SetInTransaction(true);
  locks_->SetInTransaction(true);
  try {
    // LockTransaction checks for changes, which drops whatever cache went stale.
    locks_->LockTransaction();
    locks_->SetFirstAppendedRecord(data_file_->NextRecordNo());
  } catch (...) {
    locks_->SetInTransaction(false);
    index_file_->SetInTransaction(false);
    throw;
  }
}

void TDataTable::PrepareCommit() {
  if (!InTransaction()) return;
  locks_->LockWrite();
}

void TDataTable::CommitTransaction(bool trim_caches, bool force_flush) {
  if (!InTransaction()) return;
  Flush(trim_caches, false, force_flush, true);
  index_file_->SetInTransaction(false);
}

void TDataTable::FinishCommit() {
  if (!InTransaction()) return;
  index_file_->SetInTransaction(false);
  try {
    locks_->UnlockWrite();
    locks_->UnlockTransaction();
  } catch (...) {
    locks_->SetInTransaction(false);
    throw;
  }
  locks_->SetInTransaction(false);
}

void TDataTable::ReloadHeaders() {
  data_file_->Cache()->DiscardAll();
  data_file_->ReadHeader();
  data_file_->ReadDescriptors();
  index_file_->DiscardPages();
  index_file_->ReadHeader();
  if (blob_file_->Opened()) {
    blob_file_->DiscardAll();
    blob_file_->ReadHeader();
  }
}

void TDataTable::RollbackTransaction() {
  if (!InTransaction()) return;
  locks_->SetInTransaction(false);
  index_file_->SetInTransaction(false);
  if (is_open_ && !RemoteSession()) ReloadHeaders();
  locks_->UnlockWrite();
  locks_->UnlockTransaction();
}

}  // namespace tabula
