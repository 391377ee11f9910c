#include "components/component.h"

#include <algorithm>
#include <cstring>

namespace tabula {

namespace {

char UpperAnsi(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

void EraseOne(std::vector<TComponent*>& list, TComponent* item) {
  auto it = std::find(list.begin(), list.end(), item);
  if (it != list.end()) list.erase(it);
}

}  // namespace

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  // Names are usually written as they were declared: equal bytes answer at once.
  if (a == b) return true;
  return std::equal(a.begin(), a.end(), b.begin(),
                    [](char p, char q) { return UpperAnsi(p) == UpperAnsi(q); });
}

std::uint32_t HashText(std::string_view text) {
  // The length and the first and last eight bytes, each byte with its 0x20 bit cleared: that
  // folds "a".."z" onto "A".."Z" (and a few other bytes onto each other, which SameText then
  // tells apart). Constant time: names are looked up far more often than they collide.
  constexpr std::uint64_t kFold = 0xDFDFDFDFDFDFDFDFull;
  const std::size_t size = text.size();
  std::uint64_t head = 0;
  std::uint64_t tail = 0;
  if (size >= 8) {
    std::memcpy(&head, text.data(), 8);
    std::memcpy(&tail, text.data() + size - 8, 8);
  } else {
    std::memcpy(&head, text.data(), size);
  }
  std::uint64_t hash = (size * 0x9E3779B97F4A7C15ull) ^ (head & kFold);
  hash *= 0xBF58476D1CE4E5B9ull;
  hash ^= (hash >> 31) ^ (tail & kFold);
  hash *= 0x94D049BB133111EBull;
  return static_cast<std::uint32_t>(hash >> 32);
}

std::string CutText(const std::string& text) { return text.substr(0, kMaxComponentText); }

std::string ForwardToBackslashes(std::string text) {
  std::replace(text.begin(), text.end(), '/', '\\');
  return text;
}

TComponent::TComponent(TComponent* owner) : owner_(owner) {
  if (owner_ != nullptr) owner_->Insert(*this);
}

TComponent::~TComponent() {
  MarkDestroying();
  // Tell everyone who asked, then the owner's other components, that this one is gone.
  std::vector<TComponent*> notifies;
  notifies.swap(free_notifies_);
  for (TComponent* other : notifies) {
    EraseOne(other->free_notifies_, this);
    other->Notification(*this, opRemove);
  }
  if (owner_ != nullptr) {
    owner_->Remove(*this);
    owner_->Notification(*this, opRemove);
  }
  for (TComponent* component : components_) component->owner_ = nullptr;
}

void TComponent::SetName(const std::string& name) { name_ = CutText(name); }

TComponent* TComponent::FindComponent(const std::string& name) const {
  if (name.empty()) return nullptr;
  for (TComponent* component : components_) {
    if (SameText(component->Name(), name)) return component;
  }
  return nullptr;
}

void TComponent::SetDesigning(bool designing) {
  if (designing) {
    state_ |= csDesigning;
  } else {
    state_ &= static_cast<std::uint8_t>(~csDesigning);
  }
}

void TComponent::BeginLoading() { state_ |= csLoading; }

void TComponent::EndLoading() {
  if (!Loading()) return;
  state_ &= static_cast<std::uint8_t>(~csLoading);
  Loaded();
}

void TComponent::EndLoadingComponents() {
  // A Loaded() may create or free components; walk a copy and skip the ones that are gone.
  const std::vector<TComponent*> snapshot = components_;
  for (TComponent* component : snapshot) {
    if (std::find(components_.begin(), components_.end(), component) != components_.end()) {
      component->EndLoading();
    }
  }
  EndLoading();
}

void TComponent::FreeNotification(TComponent* other) {
  if (other == nullptr || other == this) return;
  if (std::find(other->free_notifies_.begin(), other->free_notifies_.end(), this) ==
      other->free_notifies_.end()) {
    other->free_notifies_.push_back(this);
    free_notifies_.push_back(other);
  }
}

void TComponent::RemoveFreeNotification(TComponent* other) {
  if (other == nullptr) return;
  EraseOne(other->free_notifies_, this);
  EraseOne(free_notifies_, other);
}

void TComponent::Notification(TComponent& component, TOperation operation) {
  const std::vector<TComponent*> snapshot = components_;
  for (TComponent* owned : snapshot) {
    if (owned != &component) owned->Notification(component, operation);
  }
}

void TComponent::Insert(TComponent& component) { components_.push_back(&component); }

void TComponent::Remove(TComponent& component) { EraseOne(components_, &component); }

}  // namespace tabula
