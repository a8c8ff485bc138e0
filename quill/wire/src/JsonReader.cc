#include <simdjson.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "Common.h"

namespace Quill::Wire::Detail {
namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

char const* JsonKind(element const& e) {
  switch (e.type()) {
    case element_type::ARRAY:
      return "an array";
    case element_type::OBJECT:
      return "an object";
    case element_type::INT64:
    case element_type::UINT64:
    case element_type::DOUBLE:
      return "a number";
    case element_type::STRING:
      return "a string";
    case element_type::BOOL:
      return "a boolean";
    case element_type::NULL_VALUE:
      return "null";
  }
  return "a value";
}

class JsonReader {
 public:
  explicit JsonReader(DecodeOptions const& opt) : _opt(opt), _vf(opt.version ? opt.version : DefaultVersion()) {}

  Basalt::Ref<Any> Root(element e, Type const* declared) {
    if (e.is_null()) return {};
    if (declared->IsArray()) {
      Type const* elem = declared->GetElementType();
      return ReadItems(e, KindOf(elem), elem);
    }
    return Position(e, KindOf(declared), declared);
  }

 private:
  // The "_type" member: first, where this codec writes it, or anywhere.
  static bool TypeMember(simdjson::dom::object o, element& te) {
    auto it = o.begin();
    if (it != o.end() && it.key() == "_type") {
      te = it.value();
      return true;
    }
    return !o["_type"].get(te);
  }

  [[noreturn]] void Err(std::string const& what) const { ThrowDecode(what + " at " + Path()); }

  // Where the reader is: a key of an object or an index of an array per
  // level, written out only for a message.
  struct Step {
    std::string_view key;  // null data: an index
    std::size_t index = 0;
  };
  std::string Path() const {
    std::string p = "$";
    for (Step const& s : _path) {
      if (s.key.data()) {
        p += '.';
        p += s.key;
      } else {
        p += '[';
        p += std::to_string(s.index);
        p += ']';
      }
    }
    return p;
  }

  void Count() {
    if (++_elements > _opt.limits.maxElements) {
      Err("more than " + std::to_string(_opt.limits.maxElements) + " values");
    }
  }

  std::string_view String(element e, char const* what) {
    std::string_view s;
    if (e.get_string().get(s)) Err(std::string("expected a string for ") + what + ", found " + JsonKind(e));
    if (s.size() > _opt.limits.maxStringBytes) {
      Err("string longer than " + std::to_string(_opt.limits.maxStringBytes) + " bytes");
    }
    // Escapes can spell what XML cannot carry: the same strings are refused in both forms.
    char const* why = nullptr;
    if (std::size_t bad = BadCharAt(s, why); bad != std::string_view::npos) {
      Err(std::string(why) + " at byte " + std::to_string(bad) + " of a string");
    }
    return s;
  }

  template <class I>
  void Integer(element e, I& out, long lo, long hi, VK k) {
    std::int64_t v;
    if (e.type() == element_type::UINT64) Err("integer out of range for " + std::string(Name(k)));
    if (e.get_int64().get(v)) Err(std::string("expected an integer, found ") + JsonKind(e));
    if (v < lo || v > hi) Err(std::to_string(v) + " is out of range for " + Name(k));
    out = static_cast<I>(v);
  }
  static char const* Name(VK k) { return ScalarType(k)->GetName(); }

  template <class F>
  void Floating(element e, F& out) {
    if (e.is_string()) {
      std::string_view s = String(e, "a number");
      if (s == "NaN")
        out = std::numeric_limits<F>::quiet_NaN();
      else if (s == "INF")
        out = std::numeric_limits<F>::infinity();
      else if (s == "-INF")
        out = -std::numeric_limits<F>::infinity();
      else
        Err(std::string("'").append(s.substr(0, 40)).append("' is not a number"));  // piecewise: GCC 12 -Wrestrict
      return;
    }
    double d;
    if (e.get_double().get(d)) Err(std::string("expected a number, found ") + JsonKind(e));
    if constexpr (std::is_same_v<F, float>) {
      // Past the largest float by half a step or more, a float would be infinite.
      constexpr double kFloatLimit = 0x1.ffffffp127;
      if (std::fabs(d) >= kFloatLimit) Err(std::to_string(d) + " is out of range for float");
    }
    out = static_cast<F>(d);
  }

  // A plain value into _scalar, read as the kinds table's text form says.
  void Plain(element e, VK k, Type const* type) {
    Count();
    switch (InfoOf(k).text) {
      case TextForm::kBoolean:
        if (e.get_bool().get(_scalar.b)) Err(std::string("expected a boolean, found ") + JsonKind(e));
        return;
      case TextForm::kInteger:
        VisitScalar(k, [&]<class T>(std::type_identity<T>) {
          if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
            Integer(e, _scalar.Of<T>(), std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), k);
          }
        });
        return;
      case TextForm::kFloating:
        VisitScalar(k, [&]<class T>(std::type_identity<T>) {
          if constexpr (std::is_floating_point_v<T>) Floating(e, _scalar.Of<T>());
        });
        return;
      case TextForm::kTag: {
        std::string_view tag = String(e, type->GetName());
        int v = static_cast<EnumType const*>(type)->FindValue(tag);
        if (v < 0) Err("unknown tag '" + std::string(tag.substr(0, 80)) + "' of enumeration " + type->GetName());
        _scalar.i = v;
        return;
      }
      case TextForm::kDateTime:
      case TextForm::kBase64: {
        std::string_view s = String(e, Name(k));
        char const* what = "";
        if (!ParseScalarText(k, s, _scalar, what)) {
          Err("'" + std::string(s.substr(0, 40)) + "' is " + what + " for " + Name(k));
        }
        return;
      }
      default: {
        std::string_view text = String(e, Name(k));
        if (k == VK::String) {
          _scalar.str.assign(text);  // keeps the buffer the last store swapped back
        } else {
          SetStringScalar(k, std::string(text), _scalar);
        }
        return;
      }
    }
  }

  // A value in a position of kind `vk`, boxed when plain; null when the
  // position must stay empty (an unknown type in an any position).
  Basalt::Ref<Any> Position(element e, VK vk, Type const* declared) {
    if (IsPlain(vk)) {
      Plain(e, vk, declared);
      return BoxScalar(vk, declared, _scalar);
    }
    if (vk == VK::Ref) {
      Count();
      simdjson::dom::object o;
      if (e.get_object().get(o)) Err(std::string("expected a reference object, found ") + JsonKind(e));
      return ReadRef(o);
    }
    if (vk == VK::Data) return ReadObject(e, static_cast<DataObjectType const*>(declared));
    return ReadAny(e);
  }

  Basalt::Ref<Any> ReadRef(simdjson::dom::object o) {
    element t, v;
    if (o["type"].get(t)) Err("reference without \"type\"");
    if (o["value"].get(v)) Err("reference without \"value\"");
    std::string_view type = String(t, "a reference's type");
    std::string_view id = String(v, "a reference's value");
    if (id.empty()) Err("reference with an empty value");
    return Basalt::Ref<Any>(new MoRef(RefSedgeType(type), std::string(id)));
  }

  Basalt::Ref<Any> ReadAny(element e) {
    Count();
    simdjson::dom::object o;
    element te;
    if (e.get_object().get(o) || !TypeMember(o, te)) {
      Err(std::string("a value in an any-typed position must name its \"_type\", found ") + JsonKind(e));
    }
    std::string_view name = String(te, "\"_type\"");
    Named n = ResolveWireType(name);
    if (!n.known) {
      if (DecodeReport* rep = _opt.report) {
        ++rep->unknownTypes;
        if (rep->onSkip)
          rep->onSkip(Printable(Path(), std::string::npos), Printable("unknown type " + std::string(name)));
      }
      return {};
    }
    if (!n.array && n.vk == VK::Data) {
      --_elements;  // counted again as an object
      return ReadObject(e, static_cast<DataObjectType const*>(n.type));
    }
    if (!n.array && n.vk == VK::Ref) return ReadRef(o);
    element v;
    if (o["_value"].get(v)) Err("value of type " + std::string(name) + " without \"_value\"");
    if (n.array) return ReadItems(v, n.vk, n.type);
    Plain(v, n.vk, n.type);
    return BoxScalar(n.vk, n.type, _scalar);
  }

  Basalt::Ref<Any> ReadItems(element e, VK k, Type const* elem) {
    Count();
    simdjson::dom::array arr;
    if (e.get_array().get(arr)) Err(std::string("expected an array, found ") + JsonKind(e));
    Basalt::Ref<Any> out = NewArray(k, elem);
    if (!out) Err(std::string("no array of ") + elem->GetName() + " can be made");
    AppendItems(arr, k, elem, out.get());
    return out;
  }

  void AppendItems(simdjson::dom::array arr, VK k, Type const* elem, Any* out) {
    ReserveItems(out, k, std::min(arr.size(), _opt.limits.maxElements));  // the limit is checked item by item
    _path.push_back({});
    std::size_t i = 0;
    for (element item : arr) {
      _path.back().index = i++;
      if (IsPlain(k)) {
        Plain(item, k, elem);
        AppendScalar(out, k, _scalar);
      } else {
        Basalt::Ref<Any> v = item.is_null() ? Basalt::Ref<Any>() : Position(item, k, elem);
        if (!v) {
          if (item.is_null()) Err("null item in an array");
          continue;  // an item of an unknown type: reported, left out
        }
        static_cast<DataArrayBase*>(out)->AppendAny(v.get());
      }
    }
    _path.pop_back();
  }

  Basalt::Ref<Any> ReadObject(element e, DataObjectType const* declared) {
    Count();
    simdjson::dom::object o;
    if (e.get_object().get(o))
      Err(std::string("expected an object of ") + declared->GetName() + ", found " + JsonKind(e));
    DataObjectType const* type = declared;
    element te;
    if (TypeMember(o, te)) {
      std::string_view name = String(te, "\"_type\"");
      char const* own = declared->GetWsdlName();
      Named n;
      if (own && name == own) {
        n.known = true;  // the declared class itself, as most objects are
        n.vk = VK::Data;
        n.type = const_cast<DataObjectType*>(declared);
      } else if (name == _lastName && !_lastName.empty()) {
        n = _lastNamed;  // the items of an array are mostly of one class
      } else {
        n = ResolveWireType(name);
        _lastName.assign(name);
        _lastNamed = n;
      }
      if (!n.known) {
        if (DecodeReport* rep = _opt.report) {
          ++rep->unknownTypes;
          if (rep->onSkip)
            rep->onSkip(Printable(Path(), std::string::npos),
                        Printable("unknown type " + std::string(name) + " read as " + declared->GetName()));
        }
      } else if (n.array || n.vk != VK::Data || !static_cast<DataObjectType const*>(n.type)->IsSubtypeOf(declared)) {
        Err("type '" + std::string(name) + "' is not a " + declared->GetName());
      } else {
        type = static_cast<DataObjectType const*>(n.type);
      }
    }
    Basalt::Ref<DynamicData> obj(type->Create());
    if (!obj) Err(std::string("abstract type ") + type->GetName() + " named for a value");
    Plan const& plan = PlanOf(type);
    // Which slots were given: bits on the stack, which holds every plan of
    // the catalogue; a heap vector only past that.
    std::uint64_t seenSmall[8] = {};
    std::vector<std::uint64_t> seenBig;
    std::uint64_t* seenBits = seenSmall;
    if (plan.slots.size() > 512) {
      seenBig.assign((plan.slots.size() + 63) / 64, 0);
      seenBits = seenBig.data();
    }
    auto seen = [seenBits](std::size_t i) { return (seenBits[i >> 6] >> (i & 63)) & 1; };
    std::uint32_t hint = 0;
    _path.push_back({});
    for (auto field : o) {
      std::string_view key = field.key;
      if (key == "_type") continue;
      _path.back().key = key;
      Slot const* s = plan.Find(key, hint);
      if (!s) {
        if (DecodeReport* rep = _opt.report) {
          ++rep->skippedElements;
          if (rep->onSkip)
            rep->onSkip(Printable(Path(), std::string::npos), Printable("unknown property " + std::string(key)));
        }
        continue;
      }
      if (seen(s->index)) Err("property given twice");
      seenBits[s->index >> 6] |= std::uint64_t{1} << (s->index & 63);
      element v = field.value;
      if (v.is_null()) continue;  // an unset property
      if (s->array) {
        simdjson::dom::array arr;
        if (v.get_array().get(arr)) Err(std::string("expected an array, found ") + JsonKind(v));
        Count();
        Basalt::Ref<Any> a = NewArray(s->vk, s->type);
        if (!a) Err(std::string("no array of ") + s->type->GetName() + " can be made");
        AppendItems(arr, s->vk, s->type, a.get());
        s->owner->setProperty(obj.get(), s->ownIndex, &a);
      } else if (IsPlain(s->vk)) {
        Plain(v, s->vk, s->type);
        StoreScalar(*s, obj.get(), s->vk, _scalar);
      } else {
        Basalt::Ref<Any> a = Position(v, s->vk, s->type);
        if (a) s->owner->setProperty(obj.get(), s->ownIndex, &a);
      }
    }
    _path.pop_back();
    for (std::size_t i = 0; i < plan.slots.size(); ++i) {
      Slot const& s = plan.slots[i];
      if (!seen(i) && !s.optional && !s.array && _vf.Has(s)) {
        Err("missing required property \"" + std::string(s.name) + "\" of " + type->GetName());
      }
    }
    return Basalt::Ref<Any>(std::move(obj));
  }

  DecodeOptions const& _opt;
  VersionFilter _vf;
  std::vector<Step> _path;
  // What the last "_type" that was not the declared class named; whether
  // it fits a position is checked each time.
  std::string _lastName;
  Named _lastNamed;
  std::size_t _elements = 0;
  Scalar _scalar;
};

}  // namespace
}  // namespace Quill::Wire::Detail

namespace Quill::Wire {

Basalt::Ref<Any> DecodeJson(std::string_view json, Type const* declared, DecodeOptions const& options) {
  using namespace Detail;
  if (!declared) ThrowDecode("no declared type to decode against");
  Limits const& lim = options.limits;
  if (json.size() > lim.maxBytes) {
    ThrowDecode("document of " + std::to_string(json.size()) + " bytes exceeds the limit of " +
                std::to_string(lim.maxBytes));
  }
  // One parser per thread: its buffers are reused from one document to the next.
  thread_local simdjson::dom::parser parser;
  thread_local bool busy = false;
  simdjson::dom::parser fresh;
  simdjson::dom::parser& p = busy ? fresh : parser;
  std::size_t depth = lim.maxDepth + 1;  // the document itself counts as a level
  if (p.max_depth() != depth || p.capacity() < json.size()) {
    if (p.allocate(std::max(json.size(), p.capacity()), depth)) ThrowDecode("out of memory for the JSON parser");
  }
  element root;
  simdjson::error_code ec = p.parse(json.data(), json.size()).get(root);
  if (ec) {
    std::string why = simdjson::error_message(ec);
    if (ec == simdjson::DEPTH_ERROR) why = "values nested deeper than " + std::to_string(lim.maxDepth);
    ThrowDecode("malformed JSON: " + why);
  }
  bool wasBusy = busy;
  busy = true;
  struct Release {
    bool& b;
    bool old;
    ~Release() { b = old; }
  } release{busy, wasBusy};
  JsonReader reader(options);
  return reader.Root(root, declared);
}

}  // namespace Quill::Wire
