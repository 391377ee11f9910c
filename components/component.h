// The component base of the dataset framework: a named object with an owner, the loading of
// stored properties, and removal notifications.
//
// A window's components are created from its stored layout: each is created, put into the
// loading state (BeginLoading), given its stored properties, and when the whole layout has been
// read, EndLoading (or EndLoadingComponents on the owner) ends the loading state and calls
// Loaded(). While loading, properties such as `Active` and `Connected` only record the stored
// wish; Loaded() acts on it. This is how a database stored as connected opens only after every
// component of the window exists.
//
// Ownership: the owner lists the components it owns but does not free them; whoever creates a
// component holds it (the window keeps its components as members, a session holds its temporary
// databases). A component leaves its owner's list when destroyed; an owner destroyed first
// detaches the components it still lists.
//
// Thread-safety: a component and its owner are used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tabula {

// Names, paths and passwords hold at most 255 characters and are cut when stored.
constexpr std::size_t kMaxComponentText = 255;

// Case-insensitive (ANSI letters) comparison of two names, as components compare names.
bool SameText(std::string_view a, std::string_view b);
// A hash of `text` that ignores the case of ANSI letters: names SameText calls equal hash
// equal (names it tells apart may collide).
std::uint32_t HashText(std::string_view text);
// `text` cut to 255 characters.
std::string CutText(const std::string& text);
// `text` with every "/" turned into "\".
std::string ForwardToBackslashes(std::string text);

enum TComponentStateFlag : std::uint8_t {
  csLoading = 1,     // stored properties are being set
  csDesigning = 2,   // the component lives in a layout designer, not a running program
  csDestroying = 4,  // the destructor of the most derived class has begun
};

enum TOperation : std::uint8_t { opInsert, opRemove };

class TComponent {
 public:
  // `owner` may be null. The owner lists this component until either goes away.
  explicit TComponent(TComponent* owner = nullptr);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  virtual void SetName(const std::string& name);

  // Components this one owns, in creation order (not owned by this list).
  const std::vector<TComponent*>& Components() const { return components_; }
  int ComponentCount() const { return static_cast<int>(components_.size()); }
  // The owned component with this name (compared without regard to case), or null.
  TComponent* FindComponent(const std::string& name) const;

  std::uint8_t ComponentState() const { return state_; }
  bool Loading() const { return (state_ & csLoading) != 0; }
  bool Designing() const { return (state_ & csDesigning) != 0; }
  bool Destroying() const { return (state_ & csDestroying) != 0; }
  void SetDesigning(bool designing);

  // Enters the loading state: property setters record stored values without acting on them.
  void BeginLoading();
  // Leaves the loading state and calls Loaded(). Does nothing when not loading. An error of
  // Loaded() propagates (at design time the component itself reports and ignores it).
  void EndLoading();
  // Ends the loading of every owned component that is loading, in creation order, then of this
  // component itself.
  void EndLoadingComponents();

  // Asks to be told through Notification(opRemove) when `other` is destroyed. The notification
  // comes from the base destructor, when only the identity of `other` is still valid.
  void FreeNotification(TComponent* other);
  void RemoveFreeNotification(TComponent* other);

 protected:
  // Called when loading ends; the stored properties are all set.
  virtual void Loaded() {}
  // `component` is going away (opRemove): it was owned by the same owner, or this component
  // asked about it through FreeNotification. Only its identity may be used. The base forwards
  // the notification to the components this one owns.
  virtual void Notification(TComponent& component, TOperation operation);
  // Sets csDestroying; the most derived destructor calls it first.
  void MarkDestroying() { state_ |= csDestroying; }

 private:
  void Insert(TComponent& component);
  void Remove(TComponent& component);

  TComponent* owner_;  // not owned; null once the owner is gone
  std::string name_;
  std::uint8_t state_ = 0;
  std::vector<TComponent*> components_;     // not owned
  std::vector<TComponent*> free_notifies_;  // not owned; mutual with the other's list
};

}  // namespace tabula
