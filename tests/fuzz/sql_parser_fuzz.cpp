// libFuzzer target over the SQL lexer, the expression and statement parsers and the expression
// stream reader. Built by scripts/fuzz only, never by the test build.
//
// The first input byte chooses the entry: lexer alone, a prepared statement (every statement of
// the text), a filter expression, or the stream reader over the raw bytes. Anything but the
// owner's parse error (or a refused stream) aborts, and so does every sanitizer finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/base/engine_error.h"
#include "engine/sql/expression_parser.h"
#include "engine/sql/query_statement.h"

namespace {

void Lex(std::string_view text) {
  tabula::TExpressionParser parser;
  parser.SetText(text);
  for (int i = 0; i < 100000; ++i) {
    if (parser.NextToken() == tabula::tkEndOfText) break;
    (void)parser.TokenText();
    (void)parser.IsKeyword("SELECT");
  }
}

void Prepare(std::string_view text) {
  tabula::TQueryStatement statement;
  statement.Prepare(text);
  while (statement.PrepareNext()) {
  }
}

void Filter(std::string_view text) {
  tabula::TExpressionParser parser;
  parser.SetErrorCode(tabula::TABULA_INVALIDFILTER);
  parser.SetErrorTableName("Staff");
  parser.SetErrorContext("filter expression");
  parser.SetText(text);
  parser.NextToken();
  parser.MarkExpressionStart();
  tabula::TExpTokenPtr root = parser.ParseCondition(tabula::AllowPredicates);
  (void)parser.ExpressionText();
  std::string stream;
  tabula::WriteExpressionStream(*root, false, &stream);
  if (!tabula::ReadExpressionStream(reinterpret_cast<const std::uint8_t*>(stream.data()),
                                    stream.size())) {
    std::abort();  // our own stream must read back
  }
  stream.clear();
  tabula::WriteExpressionStream(*root, true, &stream);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  try {
    switch (data[0] % 4) {
      case 0:
        Lex(text);
        break;
      case 1:
        Prepare(text);
        break;
      case 2:
        Filter(text);
        break;
      default:
        tabula::ReadExpressionStream(data + 1, size - 1);
        break;
    }
  } catch (const tabula::ETabulaEngineError& error) {
    if (error.ErrorCode() != tabula::TABULA_SQLPARSE &&
        error.ErrorCode() != tabula::TABULA_INVALIDFILTER) {
      std::abort();
    }
  }
  return 0;
}
