#include "engine/sql/exp_token.h"

#include <cstring>

#include "engine/base/coding.h"

namespace tabula {

TExpToken::TExpToken() : value_(kExpValueBufferSize, 0) {}

void TExpToken::Reset() {
  text.clear();
  kind = nkNone;
  op = opNone;
  optimize_level = 0;
  optimize_flags = 0;
  estimated_count = -1;
  estimated_cost = -1;
  join_mark = 0;
  join_condition = 0;
  column_name.clear();
  field_number = 0;
  table_name.clear();
  source_table = nullptr;
  sub_query = nullptr;
  null = 0;
  parameter = 0;
  partial_length = 0;
  case_insensitive = 0;
  data_type = fldUnknown;
  subtype = fldstNone;
  size = 0;
  scale = 0;
  column_from_string = 0;
  saved_type = 0;
  saved_subtype = 0;
  saved_size = 0;
  saved_scale = 0;
  parent = nullptr;
  left = nullptr;
  right = nullptr;
  third = nullptr;
  arguments.clear();
  depth = 1;
  if (value_.size() != kExpValueBufferSize) {
    value_.resize(kExpValueBufferSize);
    value_.shrink_to_fit();
  }
  std::memset(value_.data(), 0, value_.size());
}

void TExpToken::SetSize(std::uint32_t new_size) {
  if (new_size > value_.size()) value_.resize(new_size, 0);
  size = new_size;
}

void TExpToken::SetStringValue(std::string_view value) {
  data_type = fldString;
  SetSize(static_cast<std::uint32_t>(value.size() + 1));
  std::memcpy(value_.data(), value.data(), value.size());
  value_[value.size()] = 0;
  null = 0;
}

void TExpToken::SetBooleanValue(bool value) {
  data_type = fldBoolean;
  SetSize(2);
  EncodeFixed16(value_.data(), value ? 1 : 0);
  null = 0;
}

void TExpToken::SetIntegerValue(std::int32_t value) {
  data_type = fldInteger;
  SetSize(4);
  EncodeFixed32(value_.data(), static_cast<std::uint32_t>(value));
  null = 0;
}

void TExpToken::SetLargeIntValue(std::int64_t value) {
  data_type = fldLargeInt;
  SetSize(8);
  EncodeFixed64(value_.data(), static_cast<std::uint64_t>(value));
  null = 0;
}

void TExpToken::SetFloatValue(double value) {
  data_type = fldFloat;
  SetSize(8);
  EncodeDouble(value_.data(), value);
  null = 0;
}

std::string TExpToken::StringValue() const {
  const std::size_t limit = size < value_.size() ? size : value_.size();
  const void* nul = std::memchr(value_.data(), 0, limit);
  const std::size_t length =
      nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - value_.data()) : limit;
  return std::string(reinterpret_cast<const char*>(value_.data()), length);
}

std::int32_t TExpToken::IntegerValue() const {
  return static_cast<std::int32_t>(DecodeFixed32(value_.data()));
}

std::int64_t TExpToken::LargeIntValue() const {
  return static_cast<std::int64_t>(DecodeFixed64(value_.data()));
}

double TExpToken::FloatValue() const { return DecodeDouble(value_.data()); }

bool TExpToken::BooleanValue() const { return DecodeFixed16(value_.data()) != 0; }

void TExpToken::SetColumnName(std::string_view name) {
  column_name.assign(name.substr(0, kExpMaxNameLength));
}

void TExpToken::SetTableName(std::string_view name) {
  table_name.assign(name.substr(0, kExpMaxNameLength));
}

// ---------------------------------------------------------------------------------------------

TExpTokenStack& TExpTokenStack::Instance() {
  // Never destroyed: nodes may be given back by static destructors of other units.
  static TExpTokenStack* pool = new TExpTokenStack();
  return *pool;
}

TExpTokenStack::~TExpTokenStack() {
  for (TExpToken* node : nodes_) delete node;
}

TExpToken* TExpTokenStack::Take() {
  TExpToken* node = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!nodes_.empty()) {
      node = nodes_.back();
      nodes_.pop_back();
    }
  }
  if (node == nullptr) return new TExpToken();
  node->Reset();
  return node;
}

void TExpTokenStack::Give(TExpToken* node) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (nodes_.size() < kMaxPooled) {
      if (nodes_.capacity() < kMaxPooled) nodes_.reserve(kMaxPooled);
      nodes_.push_back(node);
      return;
    }
  }
  delete node;
}

std::size_t TExpTokenStack::PooledCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return nodes_.size();
}

void ReleaseExpTree(TExpToken* root) {
  if (root == nullptr) return;
  TExpTokenStack& pool = TExpTokenStack::Instance();
  // An explicit work list instead of recursion: every node is detached from its parent's links
  // before it is given back, and its own children join the list. The list is kept per thread
  // so that releasing a tree allocates nothing once it has grown.
  thread_local std::vector<TExpToken*> work_list;
  std::vector<TExpToken*>& pending = work_list;
  const std::size_t base = pending.size();  // non-zero only if a release ever nested
  pending.push_back(root);
  while (pending.size() > base) {
    TExpToken* node = pending.back();
    pending.pop_back();
    if (node->left) pending.push_back(node->left);
    if (node->right) pending.push_back(node->right);
    if (node->third) pending.push_back(node->third);
    for (TExpToken* argument : node->arguments) {
      if (argument) pending.push_back(argument);
    }
    node->left = node->right = node->third = nullptr;
    node->arguments.clear();
    pool.Give(node);
  }
}

// ---------------------------------------------------------------------------------------------
// Expression stream

namespace {

void PutItem(std::string* out, const void* bytes, std::size_t count) {
  std::uint8_t length[4];
  EncodeFixed32(length, static_cast<std::uint32_t>(count));
  out->append(reinterpret_cast<const char*>(length), 4);
  out->append(static_cast<const char*>(bytes), count);
}

void PutByte(std::string* out, std::uint8_t value) { PutItem(out, &value, 1); }

void PutFixed16(std::string* out, std::uint16_t value) {
  std::uint8_t bytes[2];
  EncodeFixed16(bytes, value);
  PutItem(out, bytes, 2);
}

void PutFixed32(std::string* out, std::uint32_t value) {
  std::uint8_t bytes[4];
  EncodeFixed32(bytes, value);
  PutItem(out, bytes, 4);
}

void PatchFixed32(std::string* out, std::size_t item_offset, std::uint32_t value) {
  // item_offset is where the item's length prefix starts; the value follows it.
  EncodeFixed32(reinterpret_cast<std::uint8_t*>(out->data()) + item_offset + 4, value);
}

// The links a node has in the stream. In the current form they are the node's own; the older
// form folds argument lists into left, right and third, and may hand a child an overriding
// right link.
struct TStreamLinks {
  const TExpToken* left = nullptr;
  const TExpToken* right = nullptr;
  const TExpToken* third = nullptr;
  // When set, the right link of `right` is replaced by this node in the stream, and so on
  // down a chain (IN value lists).
  std::vector<const TExpToken*> right_chain;
};

const TExpToken* Arg(const TExpToken& node, std::size_t index) {
  return index < node.arguments.size() ? node.arguments[index] : nullptr;
}

TStreamLinks FoldedLinks(const TExpToken& node) {
  TStreamLinks links;
  links.left = node.left;
  links.right = node.right;
  links.third = node.third;
  if (node.arguments.empty()) return links;
  switch (node.op) {
    case opBetween:
    case opNotBetween:
    case opSubstring:
      links.left = Arg(node, 0);
      links.right = Arg(node, 1);
      if (Arg(node, 2)) links.right_chain.push_back(Arg(node, 2));
      break;
    case opReplace:
      links.left = Arg(node, 2);
      links.right = Arg(node, 0);
      if (Arg(node, 1)) links.right_chain.push_back(Arg(node, 1));
      break;
    case opPos:
    case opOccurs:
    case opTrimLeading:
    case opTrimTrailing:
    case opTrimBoth:
      links.left = Arg(node, 1);
      links.right = Arg(node, 0);
      break;
    case opCast:
      links.left = Arg(node, 0);
      links.right = Arg(node, 1);
      if (Arg(node, 1) && Arg(node, 2)) links.right_chain.push_back(Arg(node, 2));
      break;
    case opIf:
      links.left = Arg(node, 0);
      links.right = Arg(node, 1);
      links.third = Arg(node, 2);
      break;
    case opLike:
    case opNotLike:
    case opInSelect:
    case opNotInSelect:
    case opRound:
      links.left = Arg(node, 0);
      links.right = Arg(node, 1);
      break;
    case opIn:
    case opNotIn:
      links.left = Arg(node, 0);
      links.right = Arg(node, 1);
      for (std::size_t i = 2; i < node.arguments.size(); ++i) {
        links.right_chain.push_back(node.arguments[i]);
      }
      break;
    case opSum:
    case opRunSum:
    case opCount:
    case opMin:
    case opMax:
    case opAvg:
    case opUpper:
    case opLower:
    case opLength:
    case opAbs:
    case opExtractYear:
    case opExtractMonth:
    case opExtractWeek:
    case opExtractDay:
    case opExtractDayOfWeek:
    case opExtractDayOfYear:
    case opExtractHour:
    case opExtractMinute:
    case opExtractSecond:
      links.left = Arg(node, 0);
      break;
    default:
      break;  // COALESCE, IFNULL, TEXTSEARCH, TEXTOCCURS, LASTAUTOINC, IDENT_CURRENT: not folded
  }
  return links;
}

// Writes one record and its subtrees. `right_override`, when not empty, replaces this node's
// right link by its first entry, whose own right link continues with the rest.
void WriteRecord(const TExpToken& node, bool old_form, const TExpToken* const* right_override,
                 std::size_t override_count, std::string* out) {
  PutItem(out, node.text.data(), node.text.size());
  PutByte(out, node.kind);
  PutByte(out, node.op);
  PutByte(out, node.optimize_level);
  PutItem(out, node.column_name.data(), node.column_name.size());
  PutFixed16(out, node.field_number);
  const std::uint32_t size = node.size <= node.ValueCapacity()
                                 ? node.size
                                 : static_cast<std::uint32_t>(node.ValueCapacity());
  PutFixed32(out, size);
  PutItem(out, node.Value(), size);
  PutByte(out, node.null);
  PutFixed32(out, node.partial_length);
  PutByte(out, node.case_insensitive);
  PutByte(out, node.data_type);
  PutByte(out, node.subtype);
  PutByte(out, node.scale);
  const std::size_t left_item = out->size();
  PutFixed32(out, 0);
  const std::size_t right_item = out->size();
  PutFixed32(out, 0);

  if (!old_form) {
    PutFixed32(out, static_cast<std::uint32_t>(node.arguments.size()));
    const std::size_t first_argument_item = out->size();
    PutFixed32(out, 0);
    if (node.left) {
      PatchFixed32(out, left_item, static_cast<std::uint32_t>(out->size()));
      WriteRecord(*node.left, false, nullptr, 0, out);
    }
    if (node.right) {
      PatchFixed32(out, right_item, static_cast<std::uint32_t>(out->size()));
      WriteRecord(*node.right, false, nullptr, 0, out);
    }
    for (std::size_t i = 0; i < node.arguments.size(); ++i) {
      if (i == 0) PatchFixed32(out, first_argument_item, static_cast<std::uint32_t>(out->size()));
      WriteRecord(*node.arguments[i], false, nullptr, 0, out);
    }
    return;
  }

  TStreamLinks links = FoldedLinks(node);
  const TExpToken* right = links.right;
  const TExpToken* const* chain = links.right_chain.data();
  std::size_t chain_count = links.right_chain.size();
  if (override_count > 0) {
    right = right_override[0];
    chain = right_override + 1;
    chain_count = override_count - 1;
  }
  const std::size_t third_item = out->size();
  PutFixed32(out, 0);
  if (links.left) {
    PatchFixed32(out, left_item, static_cast<std::uint32_t>(out->size()));
    WriteRecord(*links.left, true, nullptr, 0, out);
  }
  if (right) {
    PatchFixed32(out, right_item, static_cast<std::uint32_t>(out->size()));
    WriteRecord(*right, true, chain, chain_count, out);
  }
  if (links.third) {
    PatchFixed32(out, third_item, static_cast<std::uint32_t>(out->size()));
    WriteRecord(*links.third, true, nullptr, 0, out);
  }
}

class TStreamReader {
 public:
  TStreamReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  // Reads the record at the current offset and its subtrees into a held tree.
  TExpTokenPtr ReadTree(std::uint32_t depth) {
    if (depth > kMaxExpressionDepth) return nullptr;
    TExpTokenPtr node = NewExpToken();
    std::string_view bytes;
    if (!Item(&bytes)) return nullptr;
    node->text.assign(bytes);
    if (!Byte(&node->kind) || !Byte(&node->op) || !Byte(&node->optimize_level)) return nullptr;
    if (!Item(&bytes) || bytes.size() > kExpMaxNameLength) return nullptr;
    node->column_name.assign(bytes);
    std::uint16_t field_number;
    if (!Fixed16(&field_number)) return nullptr;
    node->field_number = field_number;
    std::uint32_t size;
    if (!Fixed32(&size)) return nullptr;
    if (!Item(&bytes) || bytes.size() != size) return nullptr;
    node->SetSize(size);
    if (size > 0) std::memcpy(node->Value(), bytes.data(), size);
    std::uint32_t partial_length;
    if (!Byte(&node->null) || !Fixed32(&partial_length) || !Byte(&node->case_insensitive) ||
        !Byte(&node->data_type) || !Byte(&node->subtype) || !Byte(&node->scale)) {
      return nullptr;
    }
    node->partial_length = partial_length;
    std::uint32_t left_offset, right_offset, argument_count, first_argument_offset;
    if (!Fixed32(&left_offset) || !Fixed32(&right_offset) || !Fixed32(&argument_count) ||
        !Fixed32(&first_argument_offset)) {
      return nullptr;
    }
    if (left_offset != 0) {
      if (left_offset != offset_) return nullptr;
      TExpTokenPtr child = ReadTree(depth + 1);
      if (!child) return nullptr;
      node->left = child.release();
    }
    if (right_offset != 0) {
      if (right_offset != offset_) return nullptr;
      TExpTokenPtr child = ReadTree(depth + 1);
      if (!child) return nullptr;
      node->right = child.release();
    }
    if (first_argument_offset != 0) {
      if (first_argument_offset != offset_) return nullptr;
      for (std::uint32_t i = 0; i < argument_count; ++i) {
        // Each argument record holds at least its 18 length prefixes; a count beyond what the
        // rest of the buffer can hold is damage, found before anything is allocated for it.
        if (size_ - offset_ < 4u * kExpStreamItemCount) return nullptr;
        TExpTokenPtr child = ReadTree(depth + 1);
        if (!child) return nullptr;
        node->arguments.push_back(child.release());
      }
    } else if (argument_count != 0) {
      return nullptr;
    }
    return node;
  }

  std::size_t Offset() const { return offset_; }

 private:
  bool Item(std::string_view* bytes) {
    if (size_ - offset_ < 4) return false;
    const std::uint32_t count = DecodeFixed32(data_ + offset_);
    if (count > size_ - offset_ - 4) return false;
    *bytes = std::string_view(reinterpret_cast<const char*>(data_ + offset_ + 4), count);
    offset_ += 4 + count;
    return true;
  }
  bool Byte(std::uint8_t* value) {
    std::string_view bytes;
    if (!Item(&bytes) || bytes.size() != 1) return false;
    *value = static_cast<std::uint8_t>(bytes[0]);
    return true;
  }
  bool Fixed16(std::uint16_t* value) {
    std::string_view bytes;
    if (!Item(&bytes) || bytes.size() != 2) return false;
    *value = DecodeFixed16(reinterpret_cast<const std::uint8_t*>(bytes.data()));
    return true;
  }
  bool Fixed32(std::uint32_t* value) {
    std::string_view bytes;
    if (!Item(&bytes) || bytes.size() != 4) return false;
    *value = DecodeFixed32(reinterpret_cast<const std::uint8_t*>(bytes.data()));
    return true;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

}  // namespace

void WriteExpressionStream(const TExpToken& root, bool old_form, std::string* out) {
  // Offsets are relative to the root record.
  std::string stream;
  WriteRecord(root, old_form, nullptr, 0, &stream);
  out->append(stream);
}

TExpTokenPtr ReadExpressionStream(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr || size == 0) return nullptr;
  TStreamReader reader(data, size);
  return reader.ReadTree(1);
}

}  // namespace tabula
