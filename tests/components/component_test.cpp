#include "components/component.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace tabula {
namespace {

// Records its Loaded() calls and the removals it is told about.
class Probe : public TComponent {
 public:
  Probe(TComponent* owner, const std::string& name, std::vector<std::string>& log)
      : TComponent(owner), log_(log) {
    SetName(name);
  }
  ~Probe() override { MarkDestroying(); }

 protected:
  void Loaded() override { log_.push_back("Loaded " + Name()); }
  void Notification(TComponent& component, TOperation operation) override {
    TComponent::Notification(component, operation);
    if (operation == opRemove) log_.push_back(Name() + " lost " + component.Name());
  }

 private:
  std::vector<std::string>& log_;
};

TEST(ComponentTest, OwnerListsComponentsAndEndsTheirLoadingInCreationOrder) {
  std::vector<std::string> log;
  TComponent form;
  Probe a(&form, "A", log);
  Probe b(&form, "B", log);
  EXPECT_EQ(form.ComponentCount(), 2);
  EXPECT_EQ(form.FindComponent("b"), &b);
  EXPECT_EQ(form.FindComponent(""), nullptr);
  b.BeginLoading();
  a.BeginLoading();
  EXPECT_TRUE(a.Loading());
  form.EndLoadingComponents();
  EXPECT_EQ(log, (std::vector<std::string>{"Loaded A", "Loaded B"}));
  EXPECT_FALSE(a.Loading());
  a.EndLoading();  // not loading: nothing happens
  EXPECT_EQ(log.size(), 2u);
}

TEST(ComponentTest, RemovalIsToldToSiblingsAndSubscribersOnly) {
  std::vector<std::string> log;
  TComponent form;
  TComponent other_form;
  Probe watcher(&other_form, "Watcher", log);
  Probe sibling(&form, "Sibling", log);
  auto doomed = std::make_unique<Probe>(&form, "Doomed", log);
  watcher.FreeNotification(doomed.get());
  doomed.reset();
  EXPECT_EQ(log, (std::vector<std::string>{"Watcher lost Doomed", "Sibling lost Doomed"}));
  EXPECT_EQ(form.ComponentCount(), 1);

  // A subscription ends with either side, and can be withdrawn.
  log.clear();
  auto second = std::make_unique<Probe>(&other_form, "Second", log);
  sibling.FreeNotification(second.get());
  sibling.RemoveFreeNotification(second.get());
  second.reset();
  EXPECT_EQ(log, (std::vector<std::string>{"Watcher lost Second"}));

  // Components outliving their owner are detached, not left with a dangling owner.
  auto owner = std::make_unique<TComponent>();
  TComponent orphan(owner.get());
  owner.reset();
  EXPECT_EQ(orphan.Owner(), nullptr);
}

TEST(ComponentTest, TextHelpers) {
  EXPECT_TRUE(SameText("Staff.DAT", "staff.dat"));
  EXPECT_FALSE(SameText("Staff", "Staff "));
  EXPECT_EQ(CutText(std::string(256, 'x')).size(), 255u);
  EXPECT_EQ(ForwardToBackslashes("a/b\\c/"), "a\\b\\c\\");
}

}  // namespace
}  // namespace tabula
