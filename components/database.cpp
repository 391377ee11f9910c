#include "components/database.h"

#include <algorithm>
#include <cassert>

#include "engine/base/engine_error.h"
#include "engine/storage/data_directory.h"
#include "engine/storage/data_session.h"

namespace tabula {

namespace {

// A database name may not hold a path: ":" and "\" are refused. Every character of the
// engine's 8-bit code pages is a character of its own, so no byte is skipped as the second
// half of a double-byte character.
bool HoldsPath(const std::string& name) {
  return name.find(':') != std::string::npos || name.find('\\') != std::string::npos;
}

}  // namespace

TTabulaDatabase::TTabulaDatabase(TComponent* owner) : TComponent(owner) {
  if (auto* session = dynamic_cast<TTabulaSession*>(owner)) {
    session_name_ = session->SessionName();
    JoinSession(*session);
  } else if (TTabulaSession* automatic = TTabulaSession::AutoSessionOf(owner)) {
    session_name_ = automatic->SessionName();
  }
}

TTabulaDatabase::~TTabulaDatabase() {
  MarkDestroying();
  try {
    Close();
  } catch (...) {
    // A destructor cannot report; the engine database is given back by its session.
  }
  LeaveSession();
}

void TTabulaDatabase::CheckInactive() const {
  if (Connected()) DatabaseError(kDatabaseOpen);
}

void TTabulaDatabase::CheckConnected() const {
  if (!Connected()) DatabaseError(kDatabaseClosed);
}

void TTabulaDatabase::SetConnected(bool value) {
  if (Loading()) {
    stored_connected_ = value;
    return;
  }
  if (value) {
    Open();
  } else {
    Close();
  }
}

void TTabulaDatabase::SetDatabaseName(const std::string& value) {
  if (Loading()) {
    database_name_ = value;
    return;
  }
  const std::string name = ForwardToBackslashes(CutText(value));
  if (name == database_name_) return;
  CheckInactive();
  if (!temporary_ && HoldsPath(name)) DatabaseError(kInvalidDatabaseName, name);
  if (session_ != nullptr && !name.empty()) {
    try {
      CheckUniqueName(name);
    } catch (...) {
      database_name_.clear();
      throw;
    }
  }
  database_name_ = name;
}

void TTabulaDatabase::SetDirectory(const std::string& value) {
  CheckInactive();
  directory_ = ForwardToBackslashes(CutText(value));
}

void TTabulaDatabase::SetRemoteDatabase(const std::string& value) {
  CheckInactive();
  const std::string name = ForwardToBackslashes(CutText(value));
  const std::size_t first = name.find_first_not_of('\\');
  if (first == std::string::npos) {
    remote_database_.clear();
    return;
  }
  const std::size_t last = name.find_last_not_of('\\');
  remote_database_ = name.substr(first, last - first + 1);
}

void TTabulaDatabase::SetKeepConnection(bool value) {
  if (value == keep_connection_) return;
  keep_connection_ = value;
  if (!value && ref_count_ == 0 && !Loading()) Close();
}

void TTabulaDatabase::SetSessionName(const std::string& value) {
  if (Loading()) {
    session_name_ = value;
    return;
  }
  CheckInactive();
  if (value == session_name_) return;
  session_name_ = value;
  Bind(false);
}

void TTabulaDatabase::Loaded() {
  TComponent::Loaded();
  try {
    if (stored_connected_) {
      Open();
    } else {
      Bind(false);
    }
  } catch (...) {
    // A layout designer reports the failure and goes on; a running program gets it.
    if (!Designing()) throw;
  }
}

// ---------------------------------------------------------------------------------------------
// Session binding

void TTabulaDatabase::JoinSession(TTabulaSession& session) {
  if (session_ == &session) return;
  LeaveSession();
  session.AddDatabase(*this);
  session_ = &session;
}

void TTabulaDatabase::LeaveSession() {
  if (session_ == nullptr) return;
  session_->RemoveDatabase(*this);
  session_ = nullptr;
}

void TTabulaDatabase::SessionDestroyed(TTabulaSession& session) {
  if (session_ != &session) return;
  try {
    Close();
  } catch (...) {
    // The session is going away; its engine session is already gone.
  }
  LeaveSession();
  if (!session.IsDefault()) session_name_.clear();
}

void TTabulaDatabase::CheckUniqueName(const std::string& name) {
  // Freeing a temporary database changes the session's list: start over after each.
  bool again = true;
  while (again) {
    again = false;
    for (TTabulaDatabase* other : session_->Databases()) {
      if (other == this || !SameText(other->database_name_, name)) continue;
      if (other->handle_shared_ && handle_shared_) continue;
      if (other->temporary_ && other->ref_count_ == 0) {
        session_->FreeTemporary(*other);
        again = true;
        break;
      }
      DatabaseError(kDuplicateDatabaseName, name);
    }
  }
}

void TTabulaDatabase::Bind(bool opening) {
  TTabulaSession* session = Sessions().FindSession(session_name_);
  if (session == nullptr) {
    if (opening) DatabaseError(kSessionNameInvalid, session_name_);
    return;
  }
  JoinSession(*session);
  if (!database_name_.empty()) {
    try {
      CheckUniqueName(database_name_);
    } catch (...) {
      database_name_.clear();
      throw;
    }
  }
  if (opening) session_->Open();
}

// ---------------------------------------------------------------------------------------------
// Open and close

void TTabulaDatabase::Open() {
  if (Connected()) return;
  if (BeforeConnect) BeforeConnect(*this);
  if (Connected()) return;
  if (!temporary_ && database_name_.empty()) DatabaseError(kDatabaseNameMissing);
  Bind(true);
  TEngineLockGuard guard(*session_);
  if (handle_shared_) {
    for (TTabulaDatabase* other : session_->Databases()) {
      if (other != this && other->Connected() && other->handle_shared_ &&
          SameText(other->database_name_, database_name_)) {
        // The borrowed engine database counts this component as one more user, so whichever
        // of the two closes first leaves the other a live engine database.
        other->data_directory_->SetUseCount(other->data_directory_->UseCount() + 1);
        data_directory_ = other->data_directory_;
        borrowed_ = true;
        AssertInvariants();
        return;
      }
    }
  }
  TDataSession& engine = *session_->DataSession();
  if (engine.Remote()) {
    data_directory_ = engine.OpenDatabase(remote_database_, std::string());
  } else {
    data_directory_ =
        engine.OpenDatabase(HoldsPath(database_name_) ? std::string() : database_name_, directory_);
  }
  AssertInvariants();
}

void TTabulaDatabase::Close() {
  if (!Connected()) return;
  const std::vector<TDatabaseClient*> bound = datasets_;
  for (auto it = bound.rbegin(); it != bound.rend(); ++it) {
    if (std::find(datasets_.begin(), datasets_.end(), *it) != datasets_.end()) {
      (*it)->DatabaseClosing(*this);
    }
  }
  if (data_directory_ != nullptr) {
    TEngineLockGuard guard(*session_);
    session_->DataSession()->CloseDatabase(data_directory_);
  }
  data_directory_ = nullptr;
  borrowed_ = false;
  ref_count_ = 0;
  AssertInvariants();
}

void TTabulaDatabase::AssertInvariants() const {
#ifndef NDEBUG
  if (Connected()) {
    assert(session_ != nullptr && session_->Active());
  } else {
    assert(!borrowed_);
    assert(ref_count_ == 0);
  }
  if (temporary_) assert(session_ != nullptr && Owner() == session_);
#endif
}

// ---------------------------------------------------------------------------------------------
// Transactions

bool TTabulaDatabase::InTransaction() const {
  return Connected() && data_directory_->InTransaction();
}

void TTabulaDatabase::CheckEngineResult(int result) const {
  if (result >= 0) return;
  RaiseEngineError(static_cast<std::uint16_t>(-result), std::string(), std::string(),
                   data_directory_->DisplayName(), std::string(), std::string(), std::string(),
                   std::string());
}

void TTabulaDatabase::StartTransaction() {
  CheckConnected();
  if (data_directory_->InTransaction()) DatabaseError(kInTransaction, database_name_);
  TEngineLockGuard guard(*session_);
  CheckEngineResult(data_directory_->StartTransaction());
}

void TTabulaDatabase::Commit(bool force_flush) {
  CheckConnected();
  if (!data_directory_->InTransaction()) DatabaseError(kNotInTransaction, database_name_);
  TEngineLockGuard guard(*session_);
  CheckEngineResult(data_directory_->Commit(true, force_flush));
}

void TTabulaDatabase::Rollback() {
  CheckConnected();
  if (!data_directory_->InTransaction()) DatabaseError(kNotInTransaction, database_name_);
  TEngineLockGuard guard(*session_);
  CheckEngineResult(data_directory_->Rollback());
}

// ---------------------------------------------------------------------------------------------
// Datasets

void TTabulaDatabase::RegisterDataSet(TDatabaseClient& dataset) {
  if (std::find(datasets_.begin(), datasets_.end(), &dataset) == datasets_.end()) {
    datasets_.push_back(&dataset);
  }
}

void TTabulaDatabase::UnregisterDataSet(TDatabaseClient& dataset) {
  auto it = std::find(datasets_.begin(), datasets_.end(), &dataset);
  if (it != datasets_.end()) datasets_.erase(it);
}

}  // namespace tabula
