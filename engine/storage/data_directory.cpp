#include "engine/storage/data_directory.h"

#include "engine/storage/data_session.h"

namespace tabula {

TDataDirectory::TDataDirectory(TDataSession& session, const std::string& name,
                               const std::string& path)
    : session_(session),
      name_(name.substr(0, kMaxSessionText)),
      path_(path.substr(0, kMaxSessionText)) {}

TDataDirectory::~TDataDirectory() = default;

int TDataDirectory::StartTransaction(bool local_only) {
  (void)local_only;
  if (in_transaction_) return 0;
  in_transaction_ = true;
  return 0;
}

int TDataDirectory::Commit(bool end_transaction, bool force_flush, bool local_only) {
  (void)end_transaction;
  (void)force_flush;
  (void)local_only;
  in_transaction_ = false;
  return 0;
}

int TDataDirectory::Rollback(bool local_only) {
  (void)local_only;
  in_transaction_ = false;
  return 0;
}

std::string TDataDirectory::DisplayName() const { return session_.Remote() ? name_ : path_; }

}  // namespace tabula
