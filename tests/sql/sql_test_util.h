// Helpers of the SQL parser tests: a compact dump of expression trees and error capture.
#pragma once

#include <functional>
#include <string>

#include "engine/base/engine_error.h"
#include "engine/sql/exp_token.h"

namespace tabula {

// (op left right) for operators, NAME(args) for functions, (NAME args) for predicates,
// 'text' for strings, NULL, ?, the written text for other constants and for columns.
inline std::string DumpTree(const TExpToken* node) {
  if (node == nullptr) return "<null>";
  switch (node->kind) {
    case nkColumn:
      return node->text;
    case nkConstant:
      if (node->parameter) return "?";
      if (node->null) return "NULL";
      if (node->data_type == fldString) return "'" + node->StringValue() + "'";
      return node->text;
    case nkUnary:
      return "(" + node->text + " " + DumpTree(node->left) + ")";
    case nkBinary:
      return "(" + node->text + " " + DumpTree(node->left) + " " + DumpTree(node->right) + ")";
    case nkSubSelect:
      return "<SELECT>";
    case nkFunction: {
      std::string out = node->text + "(";
      for (std::size_t i = 0; i < node->arguments.size(); ++i) {
        if (i) out += ", ";
        out += DumpTree(node->arguments[i]);
      }
      return out + ")";
    }
    case nkPredicate: {
      std::string out = "(" + node->text;
      for (const TExpToken* argument : node->arguments) out += " " + DumpTree(argument);
      return out + ")";
    }
    default:
      return "<kind " + std::to_string(node->kind) + ">";
  }
}

// Runs `action` and returns the engine error's message text, or "<no error>".
inline std::string ErrorOf(const std::function<void()>& action, std::uint16_t* code = nullptr) {
  try {
    action();
  } catch (const ETabulaEngineError& error) {
    if (code) *code = error.ErrorCode();
    return error.ErrorMessageText();
  }
  return "<no error>";
}

}  // namespace tabula
