// Parsing allocates per clause and per query block, never per token: nodes come from the pool
// and keep their buffers, tokens are not copied. This suite counts heap allocations through a
// replaced global operator new, counting only while a test asks for it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "engine/sql/query_statement.h"

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
}  // namespace

// The replacements pair malloc with free; the compiler cannot see that they belong together.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// The nothrow form too (std::stable_sort's temporary buffer takes it): otherwise the runtime's
// own nothrow new would hand out blocks that the replaced delete gives to free.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
  return std::malloc(size ? size : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace tabula {
namespace {

std::string LongSelect() {
  std::string sql = "SELECT s.Staff_ID, s.User_ID, UPPER(s.Full_Name) AS Name, r.Role_Name";
  for (int i = 0; i < 10; ++i) {
    sql += ", SUBSTRING(s.Notes FROM " + std::to_string(i + 1) + " FOR 3)";
  }
  sql +=
      " FROM Staff s LEFT OUTER JOIN Roles r ON s.Role_ID = r.Role_ID"
      " INNER JOIN Tabs t ON t.Staff_ID = s.Staff_ID WHERE s.Access_Level BETWEEN 1 AND 9";
  for (int i = 0; i < 20; ++i) sql += " OR s.Staff_ID = " + std::to_string(1000 + i);
  sql += " ORDER BY 1 DESC, 2 TOP 100";
  return sql;
}

TEST(ParseAllocationTest, NoAllocationPerToken) {
  const std::string sql = LongSelect();
  int tokens = 0;
  {
    TExpressionParser lexer;
    lexer.SetText(sql);
    while (lexer.NextToken() != tkEndOfText) ++tokens;
  }
  TQueryStatement statement;
  for (int i = 0; i < 3; ++i) statement.Prepare(sql);  // warm the pool and the buffers
  g_allocations = 0;
  g_counting = true;
  statement.Prepare(sql);
  g_counting = false;
  const long allocations = g_allocations.load();
  std::printf("%ld allocations for %d tokens\n", allocations, tokens);
  // What remains is per result column, per source table and per clause (names and texts).
  EXPECT_LT(allocations, tokens / 4) << allocations << " allocations for " << tokens << " tokens";

  // Lexing alone allocates nothing once the text is loaded.
  TExpressionParser lexer;
  lexer.SetText(sql);
  g_allocations = 0;
  g_counting = true;
  while (lexer.NextToken() != tkEndOfText) {
    (void)lexer.IsKeyword("SELECT");
  }
  g_counting = false;
  EXPECT_EQ(g_allocations.load(), 0);
}

}  // namespace
}  // namespace tabula
