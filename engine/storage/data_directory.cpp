#include "engine/storage/data_directory.h"

#include "engine/storage/data_session.h"

namespace tabula {

TDataDirectory::TDataDirectory(TDataSession& session, const std::string& name,
                               const std::string& path)
    : session_(session),
      name_(name.substr(0, kMaxSessionText)),
      path_(path.substr(0, kMaxSessionText)) {}

TDataDirectory::~TDataDirectory() = default;

std::string TDataDirectory::DisplayName() const { return session_.Remote() ? name_ : path_; }

}  // namespace tabula
