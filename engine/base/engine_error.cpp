#include "engine/base/engine_error.h"

#include <cerrno>
#include <mutex>
#include <vector>

namespace tabula {

namespace {

// What fills a "%s" marker of a message template.
enum class TErrorItem { kServer, kUser, kDatabase, kTable, kField, kIndex, kMessage, kOSError };

struct TErrorRow {
  std::uint16_t code;
  const char* name;
  const char* message;  // nullptr: the code has only the default text
  std::initializer_list<TErrorItem> items;
};

constexpr const char* kDefaultErrorText = "An unknown error occurred";

const TErrorRow kErrorTable[] = {
    {TABULA_NONE, "TABULA_NONE", nullptr, {}},
    {TABULA_BOF, "TABULA_BOF", "Beginning of table '%s' unexpectedly encountered", {TErrorItem::kTable}},
    {TABULA_EOF, "TABULA_EOF", "End of table '%s' unexpectedly encountered", {TErrorItem::kTable}},
    {TABULA_KEYORRECDELETED, "TABULA_KEYORRECDELETED", "Record has been changed or deleted by another user, session, or table cursor in the table '%s'", {TErrorItem::kTable}},
    {TABULA_NOCURRREC, "TABULA_NOCURRREC", "No current record in the table '%s'", {TErrorItem::kTable}},
    {TABULA_RECNOTFOUND, "TABULA_RECNOTFOUND", "Record not found in the table '%s'", {TErrorItem::kTable}},
    {TABULA_ENDOFBLOB, "TABULA_ENDOFBLOB", "End of blob data in the table '%s' reached prematurely", {TErrorItem::kTable}},
    {TABULA_HEADERCORRUPT, "TABULA_HEADERCORRUPT", "Header information corrupt in the table '%s'", {TErrorItem::kTable}},
    {TABULA_FILECORRUPT, "TABULA_FILECORRUPT", "Data record buffers corrupt in the table '%s'", {TErrorItem::kTable}},
    {TABULA_MEMOCORRUPT, "TABULA_MEMOCORRUPT", "BLOB block buffers corrupt in the table '%s'", {TErrorItem::kTable}},
    {TABULA_INDEXCORRUPT, "TABULA_INDEXCORRUPT", "Index page buffers corrupt in the table '%s'", {TErrorItem::kTable}},
    {TABULA_READERR, "TABULA_READERR", "Error reading from the table '%s'", {TErrorItem::kTable}},
    {TABULA_WRITEERR, "TABULA_WRITEERR", "Error writing to the table '%s'", {TErrorItem::kTable}},
    {TABULA_FILEDELETEFAIL, "TABULA_FILEDELETEFAIL", "Cannot delete the table '%s'", {TErrorItem::kTable}},
    {TABULA_FILENOACCESS, "TABULA_FILENOACCESS", "Error accessing header information for the table '%s'", {TErrorItem::kTable}},
    {TABULA_RECTOOBIG, "TABULA_RECTOOBIG", "Maximum record size exceeded in the table '%s'", {TErrorItem::kTable}},
    {TABULA_TABLEFULL, "TABULA_TABLEFULL", "The table '%s' is full and cannot contain any more data", {TErrorItem::kTable}},
    {TABULA_INTERNALLIMIT, "TABULA_INTERNALLIMIT", "Too many filters defined for the table '%s'", {TErrorItem::kTable}},
    {TABULA_INDEXLIMIT, "TABULA_INDEXLIMIT", "Maximum or minimum limits on number of indexes or fields in an index exceeded in the table '%s'", {TErrorItem::kTable}},
    {TABULA_FLDLIMIT, "TABULA_FLDLIMIT", "Maximum or minimum limits on number of fields, auto-increment field value, or field size exceeded in the table '%s'", {TErrorItem::kTable}},
    {TABULA_OPENBLOBLIMIT, "TABULA_OPENBLOBLIMIT", "Too many blobs opened in the table '%s'", {TErrorItem::kTable}},
    {TABULA_BLOBLIMIT, "TABULA_BLOBLIMIT", "Too many blob fields or invalid blob block size specified for the table '%s'", {TErrorItem::kTable}},
    {TABULA_KEYVIOL, "TABULA_KEYVIOL", "Duplicate key found in the index '%s' of the table '%s'", {TErrorItem::kIndex, TErrorItem::kTable}},
    {TABULA_MINVALERR, "TABULA_MINVALERR", "The value for the field '%s' in the table '%s' is below the minimum allowable value", {TErrorItem::kField, TErrorItem::kTable}},
    {TABULA_MAXVALERR, "TABULA_MAXVALERR", "The value for the field '%s' in the table '%s' is above the maximum allowable value", {TErrorItem::kField, TErrorItem::kTable}},
    {TABULA_REQDERR, "TABULA_REQDERR", "A value must be provided for the field '%s' in the table '%s'", {TErrorItem::kField, TErrorItem::kTable}},
    {TABULA_OUTOFRANGE, "TABULA_OUTOFRANGE", "Invalid field number or name '%s' specified for the table '%s'", {TErrorItem::kField, TErrorItem::kTable}},
    {TABULA_PRIMARYKEYREDEFINE, "TABULA_PRIMARYKEYREDEFINE", "A primary index is already defined for the table '%s' and cannot be added again", {TErrorItem::kTable}},
    {TABULA_INVALIDBLOBOFFSET, "TABULA_INVALIDBLOBOFFSET", "Invalid blob offset into the table '%s' specified", {TErrorItem::kTable}},
    {TABULA_INVALIDFLDTYPE, "TABULA_INVALIDFLDTYPE", "Invalid field definition specified for the field '%s' in the table '%s'", {TErrorItem::kField, TErrorItem::kTable}},
    {TABULA_INVALIDVCHKSTRUCT, "TABULA_INVALIDVCHKSTRUCT", "Invalid default, min or max validity check, or expression specified for the field '%s' in the table '%s'", {TErrorItem::kField, TErrorItem::kTable}},
    {TABULA_INDEXNAMEREQUIRED, "TABULA_INDEXNAMEREQUIRED", "The secondary index name is missing or not specified for the table '%s'", {TErrorItem::kTable}},
    {TABULA_INVALIDPASSWORD, "TABULA_INVALIDPASSWORD", "Password provided for the table '%s' is invalid", {TErrorItem::kTable}},
    {TABULA_INVALIDINDEXNAME, "TABULA_INVALIDINDEXNAME", "Invalid secondary index name '%s' specified for the table '%s'", {TErrorItem::kIndex, TErrorItem::kTable}},
    {TABULA_INVALIDIDXDESC, "TABULA_INVALIDIDXDESC", "Invalid field number '%s' specified in the index '%s' for the table '%s'", {TErrorItem::kField, TErrorItem::kIndex, TErrorItem::kTable}},
    {TABULA_INVALIDKEY, "TABULA_INVALIDKEY", "Invalid key size specified in the index '%s' for the table '%s'", {TErrorItem::kIndex, TErrorItem::kTable}},
    {TABULA_INDEXEXISTS, "TABULA_INDEXEXISTS", "The secondary index '%s' already exists for the table '%s'", {TErrorItem::kIndex, TErrorItem::kTable}},
    {TABULA_INVALIDBLOBLEN, "TABULA_INVALIDBLOBLEN", "Invalid blob length in the table '%s'", {TErrorItem::kTable}},
    {TABULA_INVALIDBLOBHANDLE, "TABULA_INVALIDBLOBHANDLE", "Invalid blob handle for the table '%s' specified", {TErrorItem::kTable}},
    {TABULA_TABLEOPEN, "TABULA_TABLEOPEN", "The table '%s' is already in use", {TErrorItem::kTable}},
    {TABULA_INVALIDFIELDNAME, "TABULA_INVALIDFIELDNAME", "Invalid or duplicate field name '%s' specified for the table '%s'", {TErrorItem::kField, TErrorItem::kTable}},
    {TABULA_NOSUCHFILTER, "TABULA_NOSUCHFILTER", "Invalid filter handle specified for the table '%s'", {TErrorItem::kTable}},
    {TABULA_INVALIDFILTER, "TABULA_INVALIDFILTER", "Filter error for the table '%s' - %s", {TErrorItem::kTable, TErrorItem::kMessage}},
    {TABULA_INVALIDINDEXDELETE, "TABULA_INVALIDINDEXDELETE", "The primary index cannot be removed from the table '%s'", {TErrorItem::kTable}},
    {TABULA_LOCKED, "TABULA_LOCKED", "The table '%s' is already locked by another user", {TErrorItem::kTable}},
    {TABULA_UNLOCKFAILED, "TABULA_UNLOCKFAILED", "Cannot unlock table or record in the table '%s'", {TErrorItem::kTable}},
    {TABULA_LOCKTIMEOUT, "TABULA_LOCKTIMEOUT", "General lock failure with the table '%s'", {TErrorItem::kTable}},
    {TABULA_NEEDEXCLACCESS, "TABULA_NEEDEXCLACCESS", "The table '%s' must be opened exclusively", {TErrorItem::kTable}},
    {TABULA_RECLOCKFAILED, "TABULA_RECLOCKFAILED", "Record in the table '%s' is in use by another user", {TErrorItem::kTable}},
    {TABULA_NOTSUFFTABLERIGHTS, "TABULA_NOTSUFFTABLERIGHTS", "Insufficient rights to the table '%s', a password is required", {TErrorItem::kTable}},
    {TABULA_NOTABLOB, "TABULA_NOTABLOB", "Invalid blob field '%s' specified for the table '%s'", {TErrorItem::kField, TErrorItem::kTable}},
    {TABULA_NOTINITIALIZED, "TABULA_NOTINITIALIZED", "The database engine is not initialized", {}},
    {TABULA_OSENOENT, "TABULA_OSENOENT", "Table '%s' does not exist", {TErrorItem::kTable}},
    {TABULA_OSEMFILE, "TABULA_OSEMFILE", "Too many operating system files open while attempting to open the table '%s'", {TErrorItem::kTable}},
    {TABULA_OSEACCES, "TABULA_OSEACCES", "Access denied to table '%s'", {TErrorItem::kTable}},
    {TABULA_OSEBADF, "TABULA_OSEBADF", "Invalid operating system file handle for the table '%s'", {TErrorItem::kTable}},
    {TABULA_OSENOMEM, "TABULA_OSENOMEM", "There is insufficient operating system memory available for the current operation", {}},
    {TABULA_OSEINVMEM, "TABULA_OSEINVMEM", "Invalid length for the in-memory table '%s'", {TErrorItem::kTable}},
    {TABULA_OSENODEV, "TABULA_OSENODEV", "Access denied to logical operating system device for the table '%s'", {TErrorItem::kTable}},
    {TABULA_OSENOTSAM, "TABULA_OSENOTSAM", "The table '%s' has been moved", {TErrorItem::kTable}},
    {TABULA_OSUNKNOWN, "TABULA_OSUNKNOWN", "An unknown operating system error %s occurred with the table '%s'", {TErrorItem::kOSError, TErrorItem::kTable}},
    {TABULA_REMOTECOMMLOST, "TABULA_REMOTECOMMLOST", "The connection to the database server at '%s' has been lost", {TErrorItem::kServer}},
    {TABULA_REMOTEUNKNOWN, "TABULA_REMOTEUNKNOWN", "An unknown error ('%s') occurred with the connection to the database server at '%s', please check the server log", {TErrorItem::kMessage, TErrorItem::kServer}},
    {TABULA_REMOTECONNECT, "TABULA_REMOTECONNECT", "A connection to the database server at '%s' cannot be established", {TErrorItem::kServer}},
    {TABULA_REMOTENOLOGIN, "TABULA_REMOTENOLOGIN", "A connection to the database server at '%s' cannot be established, the server is not accepting new logins", {TErrorItem::kServer}},
    {TABULA_REMOTEMAXCONNECT, "TABULA_REMOTEMAXCONNECT", "A connection to the database server at '%s' cannot be established, the maximum number of connections has been reached", {TErrorItem::kServer}},
    {TABULA_REMOTEADDRESSBLOCK, "TABULA_REMOTEADDRESSBLOCK", "A connection to the database server at '%s' cannot be established, the client address is blocked", {TErrorItem::kServer}},
    {TABULA_REMOTECALLBACK, "TABULA_REMOTECALLBACK", nullptr, {}},
    {TABULA_REMOTECALLBACKERR, "TABULA_REMOTECALLBACKERR", "A server callback error occurred for the database server at '%s'", {TErrorItem::kServer}},
    {TABULA_REMOTEVERSION, "TABULA_REMOTEVERSION", "A call to the database server at '%s' failed, the client engine version does not match the server", {TErrorItem::kServer}},
    {TABULA_REMOTEINVLOGIN, "TABULA_REMOTEINVLOGIN", "A connection to the database server at '%s' cannot be established, the login information provided is invalid", {TErrorItem::kServer}},
    {TABULA_REMOTENOTAUTH, "TABULA_REMOTENOTAUTH", "The user '%s' is not authorized to perform this operation with the database '%s' on the database server at '%s'", {TErrorItem::kUser, TErrorItem::kDatabase, TErrorItem::kServer}},
    {TABULA_REMOTENOTADMIN, "TABULA_REMOTENOTADMIN", "The user '%s' is not authorized to perform administration functions on the database server at '%s'", {TErrorItem::kUser, TErrorItem::kServer}},
    {TABULA_REMOTEINVUSER, "TABULA_REMOTEINVUSER", "The user name is either invalid or blank", {TErrorItem::kServer}},
    {TABULA_REMOTENOUSER, "TABULA_REMOTENOUSER", "The user '%s' does not exist on the database server at '%s'", {TErrorItem::kUser, TErrorItem::kServer}},
    {TABULA_REMOTEDUPUSER, "TABULA_REMOTEDUPUSER", "The user '%s' already exists on the database server at '%s'", {TErrorItem::kUser, TErrorItem::kServer}},
    {TABULA_REMOTEINVDB, "TABULA_REMOTEINVDB", "The database name or directory is either invalid or blank", {TErrorItem::kServer}},
    {TABULA_REMOTENODB, "TABULA_REMOTENODB", "The database '%s' does not exist on the database server at '%s'", {TErrorItem::kDatabase, TErrorItem::kServer}},
    {TABULA_REMOTEDUPDB, "TABULA_REMOTEDUPDB", "The database '%s' already exists on the database server at '%s'", {TErrorItem::kDatabase, TErrorItem::kServer}},
    {TABULA_REMOTEINVDBUSER, "TABULA_REMOTEINVDBUSER", "The database user name is either invalid or blank", {TErrorItem::kServer}},
    {TABULA_REMOTENODBUSER, "TABULA_REMOTENODBUSER", "The database user '%s' does not exist for the database '%s' on the database server at '%s'", {TErrorItem::kUser, TErrorItem::kDatabase, TErrorItem::kServer}},
    {TABULA_REMOTEDUPDBUSER, "TABULA_REMOTEDUPDBUSER", "The database user '%s' already exists for the database '%s' on the database server at '%s'", {TErrorItem::kUser, TErrorItem::kDatabase, TErrorItem::kServer}},
    {TABULA_REMOTEINVREQUEST, "TABULA_REMOTEINVREQUEST", "An invalid or unknown request was made to the database server at '%s'", {TErrorItem::kServer}},
    {TABULA_IMPORTERROR, "TABULA_IMPORTERROR", "An error occurred during the import into the table '%s' - %s", {TErrorItem::kTable, TErrorItem::kMessage}},
    {TABULA_EXPORTERROR, "TABULA_EXPORTERROR", "An error occurred during the export from the table '%s' - %s", {TErrorItem::kTable, TErrorItem::kMessage}},
    {TABULA_SQLPARSE, "TABULA_SQLPARSE", "SQL error - %s", {TErrorItem::kMessage}},
    {TABULA_OLDVERSION, "TABULA_OLDVERSION", "The table '%s' is not the correct version", {TErrorItem::kTable}},
    {TABULA_SEARCHCOLREQD, "TABULA_SEARCHCOLREQD", "Invalid field '%s' specified for the index '%s' in the table '%s'", {TErrorItem::kField, TErrorItem::kIndex, TErrorItem::kTable}},
    {TABULA_TABLEEXISTS, "TABULA_TABLEEXISTS", "The table '%s' already exists", {TErrorItem::kTable}},
    {TABULA_COMPRESS, "TABULA_COMPRESS", "Error compressing data", {}},
    {TABULA_UNCOMPRESS, "TABULA_UNCOMPRESS", "Error uncompressing data", {}},
    {TABULA_CANNOTLOADLDDRV, "TABULA_CANNOTLOADLDDRV", "The language driver for the table '%s' is not available or installed", {TErrorItem::kTable}},
};

static_assert(sizeof(kErrorTable) / sizeof(kErrorTable[0]) == kEngineErrorCount);

// Replaces each "%s" by the next item; markers beyond the items show as empty text.
std::string FillMarkers(std::string_view tmpl, const std::string_view* items, std::size_t count) {
  std::string text;
  std::size_t next = 0;
  for (std::size_t i = 0; i < tmpl.size(); ++i) {
    if (tmpl[i] == '%' && i + 1 < tmpl.size() && tmpl[i + 1] == 's') {
      if (next < count) text.append(items[next]);
      ++next;
      ++i;
    } else {
      text.push_back(tmpl[i]);
    }
  }
  return text;
}

const TErrorRow* FindRow(std::uint16_t code) {
  for (const TErrorRow& row : kErrorTable) {
    if (row.code == code) return &row;
  }
  return nullptr;
}

// The process-wide error context: the last error raised anywhere in the process.
struct TEngineErrorContext {
  std::uint16_t code = 0;
  std::int32_t os_error = 0;
  std::int32_t socket_error = 0;
  std::string texts[kErrorSlotCount];
};

std::mutex& ContextLock() {
  static std::mutex lock;
  return lock;
}

TEngineErrorContext& Context() {  // guarded by ContextLock()
  static TEngineErrorContext context;
  return context;
}

thread_local std::int32_t last_socket_error = 0;

std::string CutText(const std::string& text, std::size_t limit) {
  return text.size() <= limit ? text : text.substr(0, limit);
}

std::string ItemText(const TEngineErrorContext& context, TErrorItem item) {
  switch (item) {
    case TErrorItem::kServer: return context.texts[esRemoteName];
    case TErrorItem::kUser: return context.texts[esUserName];
    case TErrorItem::kDatabase: return context.texts[esDatabaseName];
    case TErrorItem::kTable: return context.texts[esTableName];
    case TErrorItem::kField: return context.texts[esFieldName];
    case TErrorItem::kIndex: return context.texts[esIndexName];
    case TErrorItem::kMessage: return context.texts[esMessageText];
    case TErrorItem::kOSError: return std::to_string(context.os_error);
  }
  return std::string();
}

std::string FormatFromContext(std::uint16_t code, const TEngineErrorContext& context) {
  const TErrorRow* row = FindRow(code);
  if (row == nullptr || row->message == nullptr) return kDefaultErrorText;
  std::vector<std::string> values;
  for (TErrorItem item : row->items) values.push_back(ItemText(context, item));
  std::vector<std::string_view> views(values.begin(), values.end());
  std::string text = FillMarkers(row->message, views.data(), views.size());
  return CutText(text, kMaxErrorMessageText);
}

}  // namespace

ETabulaEngineError::ETabulaEngineError(std::uint16_t code)
    : ETabulaEngineError(code, FormatFromContext(code, Context())) {}

ETabulaEngineError::ETabulaEngineError(std::uint16_t code, std::string text)
    : EDatabaseError("Tabula Engine Error # " + std::to_string(code) + " " + text),
      error_code_(code) {
  const TEngineErrorContext& context = Context();
  os_error_code_ = context.os_error;
  socket_error_code_ = context.socket_error;
  for (int slot = 0; slot < kErrorSlotCount; ++slot) texts_[slot] = context.texts[slot];
}

void RaiseEngineError(std::uint16_t code, const std::string& remote_name,
                      const std::string& user_name, const std::string& database_name,
                      const std::string& table_name, const std::string& field_name,
                      const std::string& index_name, const std::string& message_text) {
  // Read the error numbers first: nothing below may disturb them.
  const std::int32_t socket_error = last_socket_error;
  const std::int32_t os_error = errno;
  std::lock_guard<std::mutex> guard(ContextLock());
  TEngineErrorContext& context = Context();
  context = TEngineErrorContext();
  context.code = code;
  context.os_error = os_error;
  context.socket_error = socket_error;
  const std::string* texts[kErrorSlotCount] = {&remote_name, &user_name,  &database_name,
                                               &table_name,  &field_name, &index_name,
                                               &message_text};
  for (int slot = 0; slot < kErrorSlotCount; ++slot) {
    context.texts[slot] = CutText(*texts[slot], kMaxErrorContextText);
  }
  // The exception is built under the lock; the guard releases it as the throw leaves.
  throw ETabulaEngineError(code);
}

void RaiseTableError(std::uint16_t code, const std::string& table_name,
                     const std::string& field_name, const std::string& index_name,
                     const std::string& message_text) {
  RaiseEngineError(code, std::string(), std::string(), std::string(), table_name, field_name,
                   index_name, message_text);
}

std::string EngineErrorText(std::uint16_t code) { return FormatFromContext(code, Context()); }

std::string EngineErrorName(std::uint16_t code) {
  const TErrorRow* row = FindRow(code);
  return row == nullptr ? std::string() : std::string(row->name);
}

bool IsKnownEngineError(std::uint16_t code) { return FindRow(code) != nullptr; }

std::uint16_t EngineErrorCodeOf(const std::exception& error) {
  if (const auto* engine_error = dynamic_cast<const ETabulaEngineError*>(&error)) {
    return engine_error->ErrorCode();
  }
  return TABULA_OSUNKNOWN;
}

std::uint16_t LastEngineErrorCode() {
  std::lock_guard<std::mutex> guard(ContextLock());
  return Context().code;
}

void SetLastSocketError(std::int32_t error) { last_socket_error = error; }
std::int32_t LastSocketError() { return last_socket_error; }

std::string FormatMessageText(std::string_view message_template,
                              std::initializer_list<std::string_view> items) {
  return FillMarkers(message_template, items.begin(), items.size());
}

void DatabaseError(std::string_view message_template, std::string_view name) {
  throw EDatabaseError(FormatMessageText(message_template, {name}));
}

}  // namespace tabula
