// Engine errors: the one exception class of engine failures, its code table and the
// process-wide error context.
//
// Every failure the engine detects reaches the caller as ETabulaEngineError with a 16-bit
// code from the table below. RaiseEngineError records the code, the OS and socket error
// numbers and seven context texts in one process-wide context and throws; the exception's
// message is formatted from that context. Callers decide by code, never by message text.
//
// Misuse of the dataset components is an EDatabaseError with one of the fixed component
// messages at the end of this header; a silent abort is EAbort.
//
// Thread-safety: the context is guarded by one process-wide mutex. RaiseEngineError holds it
// from clearing the context until the exception object has been built. LastEngineErrorCode
// reads under the same mutex. Constructing ETabulaEngineError directly (re-raising a caught
// code) reads the context without the mutex, as the re-raise keeps the caught error's context.
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>

namespace tabula {

// Base of every exception of the engine and the components; what() is the message.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const { return message_; }

 private:
  std::string message_;
};

// The general database error of the dataset framework: component misuse, fixed messages.
class EDatabaseError : public Exception {
 public:
  using Exception::Exception;
};

// A silent abort: the application's error display does not show it.
class EAbort : public Exception {
 public:
  EAbort() : Exception("Operation aborted") {}
};

// Engine error codes. The high byte groups the codes (0x22 position, 0x23 corrupt files,
// 0x24 I/O, 0x25 limits, 0x26 integrity, 0x27 invalid requests, 0x28 locks, 0x29 rights,
// 0x2A context, 0x2B operating system, 0x2C server and import/export, 0x2E SQL, 0x2F version,
// 0x30 index definition, 0x33 creation, 0x3A compression, 0x3E language); nothing tests it.
constexpr std::uint16_t TABULA_NONE = 0;
constexpr std::uint16_t TABULA_BOF = 8705;
constexpr std::uint16_t TABULA_EOF = 8706;
constexpr std::uint16_t TABULA_KEYORRECDELETED = 8708;
constexpr std::uint16_t TABULA_NOCURRREC = 8709;
constexpr std::uint16_t TABULA_RECNOTFOUND = 8710;
constexpr std::uint16_t TABULA_ENDOFBLOB = 8711;
constexpr std::uint16_t TABULA_HEADERCORRUPT = 8961;
constexpr std::uint16_t TABULA_FILECORRUPT = 8962;
constexpr std::uint16_t TABULA_MEMOCORRUPT = 8963;
constexpr std::uint16_t TABULA_INDEXCORRUPT = 8965;
constexpr std::uint16_t TABULA_READERR = 9217;
constexpr std::uint16_t TABULA_WRITEERR = 9218;
constexpr std::uint16_t TABULA_FILEDELETEFAIL = 9220;
constexpr std::uint16_t TABULA_FILENOACCESS = 9221;
constexpr std::uint16_t TABULA_RECTOOBIG = 9477;
constexpr std::uint16_t TABULA_TABLEFULL = 9479;
constexpr std::uint16_t TABULA_INTERNALLIMIT = 9482;
constexpr std::uint16_t TABULA_INDEXLIMIT = 9487;
constexpr std::uint16_t TABULA_FLDLIMIT = 9492;
constexpr std::uint16_t TABULA_OPENBLOBLIMIT = 9494;
constexpr std::uint16_t TABULA_BLOBLIMIT = 9498;
constexpr std::uint16_t TABULA_KEYVIOL = 9729;
constexpr std::uint16_t TABULA_MINVALERR = 9730;
constexpr std::uint16_t TABULA_MAXVALERR = 9731;
constexpr std::uint16_t TABULA_REQDERR = 9732;
constexpr std::uint16_t TABULA_OUTOFRANGE = 9985;
constexpr std::uint16_t TABULA_PRIMARYKEYREDEFINE = 9993;
constexpr std::uint16_t TABULA_INVALIDBLOBOFFSET = 9998;
constexpr std::uint16_t TABULA_INVALIDFLDTYPE = 10000;
constexpr std::uint16_t TABULA_INVALIDVCHKSTRUCT = 10006;
constexpr std::uint16_t TABULA_INDEXNAMEREQUIRED = 10010;
constexpr std::uint16_t TABULA_INVALIDPASSWORD = 10015;
constexpr std::uint16_t TABULA_INVALIDINDEXNAME = 10022;
constexpr std::uint16_t TABULA_INVALIDIDXDESC = 10023;
constexpr std::uint16_t TABULA_INVALIDKEY = 10026;
constexpr std::uint16_t TABULA_INDEXEXISTS = 10027;
constexpr std::uint16_t TABULA_INVALIDBLOBLEN = 10029;
constexpr std::uint16_t TABULA_INVALIDBLOBHANDLE = 10030;
constexpr std::uint16_t TABULA_TABLEOPEN = 10031;
constexpr std::uint16_t TABULA_INVALIDFIELDNAME = 10038;
constexpr std::uint16_t TABULA_NOSUCHFILTER = 10050;
constexpr std::uint16_t TABULA_INVALIDFILTER = 10051;
constexpr std::uint16_t TABULA_INVALIDINDEXDELETE = 10055;
constexpr std::uint16_t TABULA_LOCKED = 10241;
constexpr std::uint16_t TABULA_UNLOCKFAILED = 10242;
constexpr std::uint16_t TABULA_LOCKTIMEOUT = 10249;
constexpr std::uint16_t TABULA_NEEDEXCLACCESS = 10253;
constexpr std::uint16_t TABULA_RECLOCKFAILED = 10258;
constexpr std::uint16_t TABULA_NOTSUFFTABLERIGHTS = 10498;
constexpr std::uint16_t TABULA_NOTABLOB = 10753;
constexpr std::uint16_t TABULA_NOTINITIALIZED = 10758;
constexpr std::uint16_t TABULA_OSENOENT = 11010;
constexpr std::uint16_t TABULA_OSEMFILE = 11012;
constexpr std::uint16_t TABULA_OSEACCES = 11013;
constexpr std::uint16_t TABULA_OSEBADF = 11014;
constexpr std::uint16_t TABULA_OSENOMEM = 11016;
constexpr std::uint16_t TABULA_OSEINVMEM = 11017;
constexpr std::uint16_t TABULA_OSENODEV = 11023;
constexpr std::uint16_t TABULA_OSENOTSAM = 11025;
constexpr std::uint16_t TABULA_OSUNKNOWN = 11047;
constexpr std::uint16_t TABULA_REMOTECOMMLOST = 11276;
constexpr std::uint16_t TABULA_REMOTEUNKNOWN = 11279;
constexpr std::uint16_t TABULA_REMOTECONNECT = 11280;
constexpr std::uint16_t TABULA_REMOTENOLOGIN = 11281;
constexpr std::uint16_t TABULA_REMOTEMAXCONNECT = 11282;
constexpr std::uint16_t TABULA_REMOTEADDRESSBLOCK = 11283;
constexpr std::uint16_t TABULA_REMOTECALLBACK = 11284;
constexpr std::uint16_t TABULA_REMOTECALLBACKERR = 11285;
constexpr std::uint16_t TABULA_REMOTEVERSION = 11286;
constexpr std::uint16_t TABULA_REMOTEINVLOGIN = 11287;
constexpr std::uint16_t TABULA_REMOTENOTAUTH = 11288;
constexpr std::uint16_t TABULA_REMOTENOTADMIN = 11289;
constexpr std::uint16_t TABULA_REMOTEINVUSER = 11290;
constexpr std::uint16_t TABULA_REMOTENOUSER = 11291;
constexpr std::uint16_t TABULA_REMOTEDUPUSER = 11292;
constexpr std::uint16_t TABULA_REMOTEINVDB = 11293;
constexpr std::uint16_t TABULA_REMOTENODB = 11294;
constexpr std::uint16_t TABULA_REMOTEDUPDB = 11295;
constexpr std::uint16_t TABULA_REMOTEINVDBUSER = 11296;
constexpr std::uint16_t TABULA_REMOTENODBUSER = 11297;
constexpr std::uint16_t TABULA_REMOTEDUPDBUSER = 11298;
constexpr std::uint16_t TABULA_REMOTEINVREQUEST = 11299;
constexpr std::uint16_t TABULA_IMPORTERROR = 11300;
constexpr std::uint16_t TABULA_EXPORTERROR = 11301;
constexpr std::uint16_t TABULA_SQLPARSE = 11949;
constexpr std::uint16_t TABULA_OLDVERSION = 12035;
constexpr std::uint16_t TABULA_SEARCHCOLREQD = 12292;
constexpr std::uint16_t TABULA_TABLEEXISTS = 13060;
constexpr std::uint16_t TABULA_COMPRESS = 15001;
constexpr std::uint16_t TABULA_UNCOMPRESS = 15002;
constexpr std::uint16_t TABULA_CANNOTLOADLDDRV = 15878;

// Number of rows in the code table.
constexpr int kEngineErrorCount = 92;

// Longest stored context text; longer texts are cut when stored.
constexpr std::size_t kMaxErrorContextText = 255;
// Longest formatted message text.
constexpr std::size_t kMaxErrorMessageText = 254;

// The context slots, in the order of ETabulaEngineError's text fields.
enum TErrorSlot : int {
  esRemoteName = 0,
  esUserName = 1,
  esDatabaseName = 2,
  esTableName = 3,
  esFieldName = 4,
  esIndexName = 5,
  esMessageText = 6,
  kErrorSlotCount = 7
};

class ETabulaEngineError : public EDatabaseError {
 public:
  // Builds the exception for `code` from the current context (no lock taken). Used by
  // RaiseEngineError under the context lock, and by callers that raise a caught code again.
  explicit ETabulaEngineError(std::uint16_t code);

  std::uint16_t ErrorCode() const { return error_code_; }
  std::int32_t OSErrorCode() const { return os_error_code_; }
  std::int32_t SocketErrorCode() const { return socket_error_code_; }
  const std::string& ErrorRemoteName() const { return texts_[esRemoteName]; }
  const std::string& ErrorUserName() const { return texts_[esUserName]; }
  const std::string& ErrorDatabaseName() const { return texts_[esDatabaseName]; }
  const std::string& ErrorTableName() const { return texts_[esTableName]; }
  const std::string& ErrorFieldName() const { return texts_[esFieldName]; }
  const std::string& ErrorIndexName() const { return texts_[esIndexName]; }
  const std::string& ErrorMessageText() const { return texts_[esMessageText]; }

 private:
  ETabulaEngineError(std::uint16_t code, std::string message);

  std::uint16_t error_code_;
  std::int32_t os_error_code_ = 0;
  std::int32_t socket_error_code_ = 0;
  std::string texts_[kErrorSlotCount];
};

// Records the context (each text cut to 255 characters, an empty text is an unused slot),
// takes the current OS and socket error numbers, and throws ETabulaEngineError.
[[noreturn]] void RaiseEngineError(std::uint16_t code, const std::string& remote_name,
                                   const std::string& user_name, const std::string& database_name,
                                   const std::string& table_name, const std::string& field_name,
                                   const std::string& index_name,
                                   const std::string& message_text);

// The common case: an error about a table, optionally naming a field, an index or a text.
[[noreturn]] void RaiseTableError(std::uint16_t code, const std::string& table_name,
                                  const std::string& field_name = std::string(),
                                  const std::string& index_name = std::string(),
                                  const std::string& message_text = std::string());

// The formatted message text of `code` from the current context, at most 254 characters.
// An unknown code gives "An unknown error occurred".
std::string EngineErrorText(std::uint16_t code);

// The code's name (such as "TABULA_KEYVIOL"); empty for an unknown code.
std::string EngineErrorName(std::uint16_t code);

// The ErrorCode of an ETabulaEngineError; TABULA_OSUNKNOWN for any other exception.
std::uint16_t EngineErrorCodeOf(const std::exception& error);

// The code held in the context, read under its lock.
std::uint16_t LastEngineErrorCode();

// True when `code` is a row of the code table.
bool IsKnownEngineError(std::uint16_t code);

// The last socket error of the calling thread, recorded by the socket layer (0 when none);
// RaiseEngineError stores it with the error.
void SetLastSocketError(std::int32_t error);
std::int32_t LastSocketError();

// Replaces each "%s" of `message_template` by the next item, in order; a marker without an
// item shows as empty text. Items are text, never format directives, so a "%" inside an item
// is copied as it is.
std::string FormatMessageText(std::string_view message_template,
                              std::initializer_list<std::string_view> items);

// Raises EDatabaseError with a component message, "%s" filled with `name`.
[[noreturn]] void DatabaseError(std::string_view message_template, std::string_view name = {});

// Component misuse messages, shared by the session, database, dataset and query components.
inline constexpr const char* kSessionNameInvalid = "Session name %s is not valid.";
inline constexpr const char* kDuplicateSessionName = "Session name %s already exists.";
inline constexpr const char* kSessionNameMissing = "Session name is missing.";
inline constexpr const char* kSessionActive = "Cannot perform this operation on an active session.";
inline constexpr const char* kAutoSessionActive =
    "Cannot perform this operation on the active auto-session.";
inline constexpr const char* kAutoSessionExclusive =
    "The active auto-session can be the only active session.";
inline constexpr const char* kAutoSessionExists = "This auto-session already exists.";
inline constexpr const char* kDatabaseNameMissing = "Database name is missing.";
inline constexpr const char* kInvalidDatabaseName = "Database name %s is not valid.";
inline constexpr const char* kDuplicateDatabaseName = "Database name %s already exists.";
inline constexpr const char* kDatabaseOpen = "Cannot perform this operation on an open database.";
inline constexpr const char* kDatabaseClosed = "Cannot perform this operation on a closed database.";
inline constexpr const char* kInTransaction = "Database %s already has an active transaction.";
inline constexpr const char* kNotInTransaction = "Database %s has no active transaction.";
inline constexpr const char* kNoTableName = "Missing table name.";
inline constexpr const char* kHandleError = "Error creating table handle.";
inline constexpr const char* kEmptySQLStatement = "No SQL statement available";
inline constexpr const char* kNoParameterValue = "No value for parameter '%s'";
inline constexpr const char* kNotEditing = "Table is not in edit or insert mode.";
inline constexpr const char* kFieldReadOnly = "Field %s cannot be modified.";
inline constexpr const char* kNotIndexField = "Field %s is not in the current index.";
inline constexpr const char* kCircularDataLink = "Circular data links are not allowed.";
inline constexpr const char* kFieldIndexError = "Field index out of range.";
inline constexpr const char* kIndexFieldMissing = "Cannot access index field %s.";
// Messages of the dataset framework itself.
inline constexpr const char* kFieldNotFound = "Field '%s' not found";
inline constexpr const char* kDataSetOpen = "Cannot perform this operation on an open dataset";

}  // namespace tabula
