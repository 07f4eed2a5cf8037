#include "platform/mapi/props.h"

#include <algorithm>
#include <cstring>

namespace larkpost::mapi {

namespace {

constexpr int kMaxRestrictionDepth = 32;

uint32_t GetLe32(const char* in) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(static_cast<uint8_t>(in[i])) << (8 * i);
  return value;
}
void PutLe32(std::string* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

bool KnownType(ULONG type) {
  return type == PT_LONG || type == PT_UNICODE || type == PT_SYSTIME || type == PT_BINARY;
}

size_t AlignUp(size_t n, size_t a) { return (n + a - 1) / a * a; }

// Bytes a value needs beyond its SPropValue.
size_t ExtraSize(const Prop& prop) {
  switch (PROP_TYPE(prop.tag)) {
    case PT_UNICODE:
      return AlignUp(prop.bytes.size() + 2, alignof(char16_t));
    case PT_BINARY:
      return prop.bytes.size();
    default:
      return 0;
  }
}

bool SizeFits(const Prop& prop) {
  switch (PROP_TYPE(prop.tag)) {
    case PT_LONG:
      return prop.bytes.size() == 4;
    case PT_SYSTIME:
      return prop.bytes.size() == 8;
    case PT_UNICODE:
      return prop.bytes.size() % 2 == 0;
    case PT_BINARY:
      return true;
    default:
      return false;
  }
}

// Finds the stored property answering `tag`: same id and same type.
const Prop* Lookup(const PropList& props, ULONG tag) {
  for (const Prop& prop : props) {
    if (PROP_ID(prop.tag) == PROP_ID(tag)) {
      return prop.tag == tag && SizeFits(prop) ? &prop : nullptr;
    }
  }
  return nullptr;
}

}  // namespace

bool ParseProps(std::string_view blob, PropList* props, const SPropTagArray* only) {
  props->clear();
  size_t at = 0;
  while (at < blob.size()) {
    if (blob.size() - at < 8) return false;
    ULONG tag = GetLe32(blob.data() + at);
    uint32_t size = GetLe32(blob.data() + at + 4);
    at += 8;
    if (blob.size() - at < size) return false;
    if (only == nullptr ||
        std::any_of(only->aulPropTag, only->aulPropTag + only->cValues,
                    [tag](ULONG wanted) { return PROP_ID(wanted) == PROP_ID(tag); })) {
      props->push_back(Prop{tag, std::string(blob.substr(at, size))});
    }
    at += size;
  }
  return true;
}

std::string SerializeProps(const PropList& props) {
  size_t total = 0;
  for (const Prop& prop : props) total += 8 + prop.bytes.size();
  std::string blob;
  blob.reserve(total);
  for (const Prop& prop : props) {
    PutLe32(&blob, prop.tag);
    PutLe32(&blob, static_cast<uint32_t>(prop.bytes.size()));
    blob += prop.bytes;
  }
  return blob;
}

bool EncodeValue(const SPropValue& value, std::string* bytes) {
  bytes->clear();
  switch (PROP_TYPE(value.ulPropTag)) {
    case PT_LONG:
      PutLe32(bytes, value.Value.ul);
      return true;
    case PT_SYSTIME:
      PutLe32(bytes, value.Value.ft.dwLowDateTime);
      PutLe32(bytes, value.Value.ft.dwHighDateTime);
      return true;
    case PT_UNICODE: {
      const char16_t* text = value.Value.lpszW;
      if (text == nullptr) return false;
      for (; *text != u'\0'; ++text) {
        bytes->push_back(static_cast<char>(*text & 0xFF));
        bytes->push_back(static_cast<char>(*text >> 8));
      }
      return true;
    }
    case PT_BINARY:
      if (value.Value.bin.cb > 0 && value.Value.bin.lpb == nullptr) return false;
      if (value.Value.bin.cb > 0) {
        bytes->assign(reinterpret_cast<const char*>(value.Value.bin.lpb), value.Value.bin.cb);
      }
      return true;
    default:
      return false;
  }
}

void PutProp(PropList* props, ULONG tag, std::string bytes) {
  for (Prop& prop : *props) {
    if (PROP_ID(prop.tag) == PROP_ID(tag)) {
      prop.tag = tag;
      prop.bytes = std::move(bytes);
      return;
    }
  }
  props->push_back(Prop{tag, std::move(bytes)});
}

const Prop* FindProp(const PropList& props, ULONG tag) { return Lookup(props, tag); }

std::vector<ULONG> TagsOf(const PropList& props) {
  std::vector<ULONG> tags;
  tags.reserve(props.size());
  for (const Prop& prop : props) {
    if (KnownType(PROP_TYPE(prop.tag))) tags.push_back(prop.tag);
  }
  return tags;
}

HRESULT BuildValues(const PropList& props, const ULONG* tags, ULONG tagCount, ULONG* count,
                    SPropValue** values) {
  *count = 0;
  *values = nullptr;
  std::vector<const Prop*> found(tagCount, nullptr);
  size_t total = AlignUp(sizeof(SPropValue) * (tagCount == 0 ? 1 : tagCount), alignof(SPropValue));
  for (ULONG i = 0; i < tagCount; ++i) {
    found[i] = Lookup(props, tags[i]);
    if (found[i] != nullptr) total += ExtraSize(*found[i]);
  }
  auto* block = static_cast<char*>(AllocateBlock(total));
  if (block == nullptr) return MAPI_E_NOT_ENOUGH_MEMORY;
  auto* out = reinterpret_cast<SPropValue*>(block);
  char* extra = block + AlignUp(sizeof(SPropValue) * (tagCount == 0 ? 1 : tagCount),
                                alignof(SPropValue));
  bool missing = false;
  for (ULONG i = 0; i < tagCount; ++i) {
    SPropValue& value = out[i];
    std::memset(&value, 0, sizeof value);
    const Prop* prop = found[i];
    if (prop == nullptr) {
      value.ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(tags[i]));
      value.Value.err = MAPI_E_NOT_FOUND;
      missing = true;
      continue;
    }
    value.ulPropTag = prop->tag;
    const char* bytes = prop->bytes.data();
    switch (PROP_TYPE(prop->tag)) {
      case PT_LONG:
        value.Value.ul = GetLe32(bytes);
        break;
      case PT_SYSTIME:
        value.Value.ft.dwLowDateTime = GetLe32(bytes);
        value.Value.ft.dwHighDateTime = GetLe32(bytes + 4);
        break;
      case PT_UNICODE: {
        auto* text = reinterpret_cast<char16_t*>(extra);
        size_t length = prop->bytes.size() / 2;
        for (size_t k = 0; k < length; ++k) {
          text[k] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * k]) |
                                          (static_cast<uint8_t>(bytes[2 * k + 1]) << 8));
        }
        text[length] = u'\0';
        value.Value.lpszW = text;
        extra += ExtraSize(*prop);
        break;
      }
      case PT_BINARY:
        value.Value.bin.cb = static_cast<ULONG>(prop->bytes.size());
        value.Value.bin.lpb = prop->bytes.empty() ? nullptr : reinterpret_cast<BYTE*>(extra);
        if (!prop->bytes.empty()) std::memcpy(extra, bytes, prop->bytes.size());
        extra += ExtraSize(*prop);
        break;
    }
  }
  *count = tagCount;
  *values = out;
  return missing ? MAPI_W_ERRORS_RETURNED : S_OK;
}

namespace {

HRESULT Compile(const SRestriction* restriction, Condition* condition, int depth) {
  if (restriction == nullptr || depth > kMaxRestrictionDepth) return MAPI_E_INVALID_PARAMETER;
  switch (restriction->rt) {
    case RES_AND: {
      const SAndRestriction& all = restriction->res.resAnd;
      if (all.cRes > 0 && all.lpRes == nullptr) return MAPI_E_INVALID_PARAMETER;
      condition->isAnd = true;
      condition->children.resize(all.cRes);
      for (ULONG i = 0; i < all.cRes; ++i) {
        HRESULT hr = Compile(&all.lpRes[i], &condition->children[i], depth + 1);
        if (hr != S_OK) return hr;
      }
      return S_OK;
    }
    case RES_PROPERTY: {
      const SPropertyRestriction& property = restriction->res.resProperty;
      if (property.relop != RELOP_EQ) return MAPI_E_NO_SUPPORT;
      if (property.lpProp == nullptr) return MAPI_E_INVALID_PARAMETER;
      condition->tag = property.ulPropTag;
      if (PROP_TYPE(property.lpProp->ulPropTag) != PROP_TYPE(property.ulPropTag) ||
          !KnownType(PROP_TYPE(property.ulPropTag))) {
        condition->never = true;
        return S_OK;
      }
      if (!EncodeValue(*property.lpProp, &condition->bytes)) return MAPI_E_INVALID_PARAMETER;
      return S_OK;
    }
    default:
      return MAPI_E_NO_SUPPORT;
  }
}

}  // namespace

HRESULT CompileRestriction(const SRestriction* restriction, Condition* condition) {
  *condition = Condition{};
  return Compile(restriction, condition, 0);
}

bool Matches(const Condition& condition, const PropList& props) {
  if (condition.isAnd) {
    for (const Condition& child : condition.children) {
      if (!Matches(child, props)) return false;
    }
    return true;
  }
  if (condition.never) return false;
  const Prop* prop = Lookup(props, condition.tag);
  return prop != nullptr && prop->bytes == condition.bytes;
}

bool Impossible(const Condition& condition) {
  if (!condition.isAnd) return condition.never;
  for (const Condition& child : condition.children) {
    if (Impossible(child)) return true;
  }
  return false;
}

std::optional<std::string> RequiredValue(const Condition& condition, ULONG tag) {
  if (!condition.isAnd) {
    if (!condition.never && condition.tag == tag) return condition.bytes;
    return std::nullopt;
  }
  for (const Condition& child : condition.children) {
    if (auto value = RequiredValue(child, tag)) return value;
  }
  return std::nullopt;
}

int64_t TimeKey(std::string_view bytes) {
  uint64_t low = GetLe32(bytes.data());
  uint64_t high = GetLe32(bytes.data() + 4);
  return static_cast<int64_t>((high << 32) | low);
}

}  // namespace larkpost::mapi
