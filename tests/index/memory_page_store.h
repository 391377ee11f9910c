// A page store in memory for the B-tree tests: pages never leave memory, but every page whose
// last pin is released while dirty is encoded and decoded again, so the codec takes part in
// every tree operation. Counts fetches so tests can check the cost of a lookup.
#pragma once

#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "engine/base/engine_error.h"
#include "engine/index/btree.h"

namespace tabula {

class TMemoryPageStore : public TPageStore {
 public:
  explicit TMemoryPageStore(const TPageFormat& format) : format_(format) {}

  TPage* FetchPage(int slot, std::uint32_t page_number, bool) override {
    ++fetches_;
    auto it = pages_.find(page_number);
    if (page_number == 0 || it == pages_.end() || it->second->Slot() != slot) {
      RaiseIndexCorrupt();
    }
    it->second->Pin();
    return it->second.get();
  }

  void ReleasePage(TPage* page) override {
    page->Unpin();
    if (page->PinCount() == 0 && page->Dirty()) {
      std::uint8_t image[kPageSize];
      page->EncodeTo(image);
      TPage copy;
      copy.Reset(page->Format(), page->PageNumber(), page->Slot());
      if (copy.DecodeFrom(image, sizeof image, next_page_ - 1) != 0) {
        throw std::runtime_error("page " + std::to_string(page->PageNumber()) +
                                 " does not decode after encoding");
      }
      std::uint8_t again[kPageSize];
      copy.EncodeTo(again);
      if (std::memcmp(image, again, kPageSize) != 0) {
        throw std::runtime_error("page " + std::to_string(page->PageNumber()) +
                                 " encodes differently after a round trip");
      }
      if (!page->Free()) *page = copy;
      page->SetDirty(false);
    }
  }

  TPage* AllocatePage(int slot) override {
    std::uint32_t number = free_head_;
    if (number != 0) {
      free_head_ = pages_[number]->NextPage();
    } else {
      number = next_page_++;
      pages_[number] = std::make_unique<TPage>();
    }
    TPage* page = pages_[number].get();
    page->Reset(format_, number, slot);
    page->SetDirty(true);
    page->Pin();
    return page;
  }

  void FreePage(TPage* page) override {
    page->MakeFree(free_head_);
    page->SetDirty(true);
    free_head_ = page->PageNumber();
  }

  std::uint32_t RootPage(int) const override { return root_; }
  void SetRootPage(int, std::uint32_t page_number) override { root_ = page_number; }
  TPageFormat PageFormatOf(int) const override { return format_; }
  [[noreturn]] void RaiseIndexCorrupt() const override {
    RaiseTableError(TABULA_INDEXCORRUPT, "memory");
  }

  // Pages ever allocated, pages on the free chain, fetches so far.
  std::uint32_t PagesInFile() const { return next_page_ - 1; }
  std::uint32_t FreePageCount() const {
    std::uint32_t n = 0;
    for (std::uint32_t p = free_head_; p != 0; p = pages_.at(p)->NextPage()) ++n;
    return n;
  }
  std::uint64_t Fetches() const { return fetches_; }
  bool AllUnpinned() const {
    for (const auto& [number, page] : pages_) {
      if (page->PinCount() != 0) return false;
    }
    return true;
  }
  TPage& Page(std::uint32_t number) { return *pages_.at(number); }

 private:
  TPageFormat format_;
  std::map<std::uint32_t, std::unique_ptr<TPage>> pages_;
  std::uint32_t next_page_ = 1;
  std::uint32_t free_head_ = 0;
  std::uint32_t root_ = 0;
  std::uint64_t fetches_ = 0;
};

}  // namespace tabula
