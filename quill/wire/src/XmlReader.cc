#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <cstring>
#include <exception>

#include "Xml.h"
#include "quill/DataTypes.h"
#include "quill/MethodFault.h"

namespace Quill::Wire::Detail {
namespace {

enum class FK : std::uint8_t { Skip, Text, Ref, Data, Items, Composite, Envelope, Header, Body, Fault, Detail };
enum class Role : std::uint8_t { Value, ApiVersion, FaultString, Other };

// The same wire version may stand in several namespaces' tables ("2.0" is a
// release of more than one); the namespace of the header element says whose.
Version const* VersionOf(std::string_view elementNs, std::string_view wireVersion) {
  Version const* first = FindVersionByWireVersion(wireVersion);
  constexpr std::string_view kUrn = "urn:";
  if (!first || elementNs.substr(0, kUrn.size()) != kUrn) return first;
  std::string_view ns = elementNs.substr(kUrn.size());
  auto inNs = [&](Version const* v) { return v->GetWireNamespace() && ns == v->GetWireNamespace(); };
  if (inNs(first)) return first;
  for (Version const* v : GetVersions()) {
    if (inNs(v) && wireVersion == v->GetWireVersion()) return v;
  }
  return first;
}

// The number of the line `at` is on.
std::size_t LineAt(std::string_view xml, char const* at) {
  return 1 + static_cast<std::size_t>(std::count(xml.data(), at, '\n'));
}

// libxml2 compares each attribute of a start tag with every earlier one (and
// each namespace declaration likewise) before it calls back: its time grows
// with the square of their number, and a limit checked in the callback comes
// too late. So they are counted over the raw input first, in one pass that
// knows just enough markup (comments, CDATA, processing instructions, quoted
// values) to count exactly in a well-formed document. In a malformed one the
// counts may be off; the parser refuses it then anyway.
// `open` is scratch space, kept by the caller from one document to the next.
void CheckMarkup(std::string_view xml, Limits const& lim, std::vector<std::uint32_t>& open) {
  char const* const begin = xml.data();
  char const* const e = begin + xml.size();
  char const* p = begin;
  std::size_t attributes = 0, namespaces = 0;
  // Declarations in scope, per open element: a prefix is looked up past every
  // one of them. Kept only as deep as the reader reads.
  open.clear();
  std::size_t depth = 0, inScope = 0;
  auto after = [&](char const* from, std::string_view end) -> char const* {
    std::size_t at = xml.find(end, static_cast<std::size_t>(from - begin));
    return at == std::string_view::npos ? e : begin + at + end.size();
  };
  auto space = [](char c) { return c <= ' ' && (c == ' ' || c == '\t' || c == '\n' || c == '\r'); };
  auto past = [&](char const* from, char c) -> char const* {  // just past the next `c`
    auto const* at = static_cast<char const*>(std::memchr(from, c, static_cast<std::size_t>(e - from)));
    return at ? at + 1 : e;
  };
  auto refuse = [&](char const* tag, std::string const& what) {
    ThrowDecode(what + " (line " + std::to_string(LineAt(xml, tag)) + ")");
  };
  while (p < e) {
    p = static_cast<char const*>(std::memchr(p, '<', static_cast<std::size_t>(e - p)));
    if (!p || ++p == e) return;
    if (*p == '/') {  // an end tag
      if (depth > 0 && depth-- <= open.size()) {
        inScope -= open.back();
        open.pop_back();
      }
      p = past(p, '>');
      continue;
    }
    if (*p == '?') {
      p = after(p + 1, "?>");
      continue;
    }
    if (*p == '!') {
      std::size_t left = static_cast<std::size_t>(e - p);
      if (left >= 3 && std::memcmp(p, "!--", 3) == 0) {
        p = after(p + 3, "-->");
      } else if (left >= 8 && std::memcmp(p, "![CDATA[", 8) == 0) {
        p = after(p + 8, "]]>");
      } else {
        p = past(p, '>');  // a document type declaration: the reader refuses it
      }
      continue;
    }
    char const* tag = p - 1;
    while (p < e && !space(*p) && *p != '>' && *p != '/') ++p;  // the element's name
    std::size_t own = 0, ownNs = 0;
    bool empty = false;  // <name/>
    while (p < e && *p != '>') {
      char c = *p;
      if (c == '"' || c == '\'') {
        auto const* q = static_cast<char const*>(std::memchr(p + 1, c, static_cast<std::size_t>(e - p - 1)));
        if (!q) return;
        p = q + 1;
        continue;
      }
      if (space(c) || c == '/' || c == '=') {
        empty = c == '/';
        ++p;
        continue;
      }
      empty = false;
      char const* name = p;
      while (p < e && !space(*p) && *p != '=' && *p != '>' && *p != '/' && *p != '"' && *p != '\'') ++p;
      std::string_view n(name, static_cast<std::size_t>(p - name));
      if (n == "xmlns" || n.starts_with("xmlns:")) {
        if (++ownNs > lim.maxNamespacesPerElement) {
          refuse(tag, "an element declares more than " + std::to_string(lim.maxNamespacesPerElement) + " namespaces");
        }
        if (++namespaces > lim.maxNamespaces) {
          refuse(tag, "more than " + std::to_string(lim.maxNamespaces) + " namespace declarations");
        }
        if (++inScope > lim.maxNamespacesInScope) {
          refuse(tag, "more than " + std::to_string(lim.maxNamespacesInScope) + " namespace declarations in scope");
        }
      } else {
        if (++own > lim.maxAttributesPerElement) {
          refuse(tag, "an element has more than " + std::to_string(lim.maxAttributesPerElement) + " attributes");
        }
        if (++attributes > lim.maxAttributes) {
          refuse(tag, "more than " + std::to_string(lim.maxAttributes) + " attributes");
        }
      }
    }
    if (empty) {
      inScope -= ownNs;
    } else if (++depth <= lim.maxDepth) {
      open.push_back(static_cast<std::uint32_t>(ownNs));
    } else {
      inScope -= ownNs;  // the reader refuses this depth; nothing below it counts
    }
  }
}

// Byte-order marks and the first bytes of "<?" in the encodings this reader
// does not read, for a refusal that names the encoding.
char const* ForeignEncoding(std::string_view xml) {
  auto starts = [&](char const* b, std::size_t n) { return xml.size() >= n && std::memcmp(xml.data(), b, n) == 0; };
  if (starts("\x00\x00\xFE\xFF", 4) || starts("\x00\x00\x00\x3C", 4)) return "UTF-32 (big-endian)";
  if (starts("\xFF\xFE\x00\x00", 4) || starts("\x3C\x00\x00\x00", 4)) return "UTF-32 (little-endian)";
  if (starts("\xFE\xFF", 2) || starts("\x00\x3C", 2)) return "UTF-16 (big-endian)";
  if (starts("\xFF\xFE", 2) || starts("\x3C\x00", 2)) return "UTF-16 (little-endian)";
  return nullptr;
}

// The newest release whose namespace is `elementNs` ("urn:tarn2"); null for
// none.
Version const* NewestOfNamespace(std::string_view elementNs) {
  constexpr std::string_view kUrn = "urn:";
  if (!elementNs.starts_with(kUrn)) return nullptr;
  std::string_view ns = elementNs.substr(kUrn.size());
  for (Version const* v : GetVersions()) {  // each table lists its newest release first
    if (v->GetKind() == VERSION_RELEASE && v->GetWireNamespace() && ns == v->GetWireNamespace()) return v;
  }
  return nullptr;
}

struct Frame {
  FK kind = FK::Skip;
  Role role = Role::Value;
  std::string name;
  long item = -1;              // index among the items of an array
  Slot const* slot = nullptr;  // its slot in a Data or Composite parent
  VK vk = VK::Any;             // what this frame reads
  Type const* type = nullptr;
  Basalt::Ref<Any> obj;  // Data: the object; Items: the array
  DynamicData* data = nullptr;
  Plan const* plan = nullptr;
  std::uint32_t hint = 0;
  std::vector<std::uint8_t> seen;         // per slot
  std::vector<Basalt::Ref<Any>> pending;  // array per slot, set when the object ends
  std::string text;
  std::string refType;
  bool sawChild = false;
};

std::string_view View(xmlChar const* s) {
  return s ? std::string_view(reinterpret_cast<char const*>(s)) : std::string_view();
}

bool IsSpace(char const* s, int len) {
  for (int i = 0; i < len; ++i) {
    char c = s[i];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return false;
  }
  return true;
}

class Reader {
 public:
  Reader() {
    static bool const initialised = (xmlInitParser(), true);
    (void)initialised;
    Make();
  }
  ~Reader() { xmlFreeParserCtxt(_ctxt); }
  Reader(Reader const&) = delete;
  Reader& operator=(Reader const&) = delete;

  void Make() {
    xmlSAXHandler sax{};
    sax.initialized = XML_SAX2_MAGIC;
    sax.startElementNs = &StartCb;
    sax.endElementNs = &EndCb;
    sax.characters = &TextCb;
    sax.ignorableWhitespace = &TextCb;
    sax.cdataBlock = &TextCb;
    sax.internalSubset = &DoctypeCb;
    sax.externalSubset = &DoctypeCb;
    sax.entityDecl = &EntityCb;
    sax.serror = &ErrorCb;  // errors are read after the parse, not printed
    _ctxt = xmlCreatePushParserCtxt(&sax, this, nullptr, 0, nullptr);
    if (!_ctxt) throw std::bad_alloc();
  }

  bool busy = false;
  // The version the last document spoke as far as it was read.
  Version const* Spoken() const noexcept { return _version; }

  void Run(std::string_view xml, XmlDoc doc, Type const* declared, ManagedMethod const* method,
           DecodeOptions const& options, XmlResult& result) {
    _doc = doc;
    _declared = declared;
    _method = method;
    _opt = &options;
    _res = &result;
    _depth = 0;
    _elements = 0;
    _error = nullptr;
    _failed = false;
    _rootDone = false;
    _bodySeen = false;
    _sawMessage = false;
    _version = doc == XmlDoc::Value ? (options.version ? options.version : DefaultVersion()) : nullptr;
    _vf = VersionFilter(_version);
    if (xml.size() > options.limits.maxBytes) {
      ThrowDecode("document of " + std::to_string(xml.size()) + " bytes exceeds the limit of " +
                  std::to_string(options.limits.maxBytes));
    }
    if (xml.starts_with("\xEF\xBB\xBF")) xml.remove_prefix(3);  // a UTF-8 byte-order mark says what we read anyway
    if (char const* encoding = ForeignEncoding(xml)) {
      ThrowDecode(std::string("the document is in ") + encoding + "; only UTF-8 is read");
    }
    CheckMarkup(xml, options.limits, _open);
    // The parser interns every name it meets, and a reset keeps them: a
    // stream of documents full of made-up names must not grow it for ever.
    if (_ctxt->dict && xmlDictSize(_ctxt->dict) > 50000) {
      xmlFreeParserCtxt(_ctxt);
      _ctxt = nullptr;
      Make();
    }
    xmlCtxtResetPush(_ctxt, nullptr, 0, nullptr, "UTF-8");
    // No network, no entity substitution, no DTD loading; the parser's own
    // size caps are lifted because the limits above are the caller's.
    xmlCtxtUseOptions(_ctxt, XML_PARSE_NONET | XML_PARSE_HUGE | XML_PARSE_NOCDATA);
    int st = 0;
    std::size_t at = 0;
    do {  // the parser takes int sizes
      std::size_t n = std::min<std::size_t>(xml.size() - at, 1u << 30);
      st = xmlParseChunk(_ctxt, xml.data() + at, static_cast<int>(n), at + n == xml.size());
      at += n;
    } while (st == 0 && !_failed && at < xml.size());
    // Frames keep their buffers for the next document, not their objects.
    auto release = [this] {
      for (std::size_t i = 0; i < _depth; ++i) {
        _frames[i].obj = nullptr;
        _frames[i].pending.clear();
      }
    };
    if (_failed) {
      release();
      std::rethrow_exception(_error);
    }
    if (st != 0 || !_ctxt->wellFormed) {
      xmlError const* e = xmlCtxtGetLastError(_ctxt);
      std::string why = e && e->message ? e->message : "not well-formed";
      while (!why.empty() && why.back() == '\n') why.pop_back();
      // Some reasons run on to a second line ("...\nBytes: 0xFF 0x3C"): one line here.
      for (std::size_t nl = why.find('\n'); nl != std::string::npos; nl = why.find('\n', nl)) why.replace(nl, 1, "; ");
      std::string msg = "malformed XML at line " + std::to_string(e ? e->line : 0) + ", column " +
                        std::to_string(e ? e->int2 : 0) + ": " + why;
      std::string path = Path();
      release();
      ThrowDecode(path.empty() ? msg : msg + ", in " + path);
    }
    if (doc != XmlDoc::Value && !_bodySeen) ThrowDecode("SOAP envelope without a Body");
    if (doc != XmlDoc::Value && !_sawMessage) {
      ThrowDecode(doc == XmlDoc::Request ? "SOAP Body without a request element"
                                         : "SOAP Body without a response or a fault");
    }
    if (doc == XmlDoc::Request) result.request.version = _version ? _version : DefaultVersion();
  }

 private:
  // --- parser callbacks: nothing may be thrown through the C parser -------------------
  static void StartCb(void* ud, xmlChar const* localname, xmlChar const*, xmlChar const* uri, int, xmlChar const**,
                      int nbAttributes, int, xmlChar const** attributes) {
    auto* r = static_cast<Reader*>(ud);
    if (r->_failed) return;
    try {
      r->_elementNs = uri ? View(uri) : std::string_view();
      r->Start(View(localname), nbAttributes, attributes);
    } catch (...) {
      r->Fail(std::current_exception());
    }
  }
  static void EndCb(void* ud, xmlChar const*, xmlChar const*, xmlChar const*) {
    auto* r = static_cast<Reader*>(ud);
    if (r->_failed) return;
    try {
      r->End();
    } catch (...) {
      r->Fail(std::current_exception());
    }
  }
  static void TextCb(void* ud, xmlChar const* s, int len) {
    auto* r = static_cast<Reader*>(ud);
    if (r->_failed) return;
    try {
      r->Text(reinterpret_cast<char const*>(s), len);
    } catch (...) {
      r->Fail(std::current_exception());
    }
  }
  static void DoctypeCb(void* ud, xmlChar const*, xmlChar const*, xmlChar const*) {
    auto* r = static_cast<Reader*>(ud);
    if (r->_failed) return;
    try {
      ThrowDecode("document type declarations are refused (line " + std::to_string(r->Line()) + ")");
    } catch (...) {
      r->Fail(std::current_exception());
    }
  }
  static void EntityCb(void* ud, xmlChar const*, int, xmlChar const*, xmlChar const*, xmlChar*) {
    auto* r = static_cast<Reader*>(ud);
    if (r->_failed) return;
    try {
      ThrowDecode("entity declarations are refused");
    } catch (...) {
      r->Fail(std::current_exception());
    }
  }
  static void ErrorCb(void*, xmlError*) {}
  int Line() const { return _ctxt->input ? _ctxt->input->line : 0; }
  void Fail(std::exception_ptr e) {
    _failed = true;
    _error = e;
    xmlStopParser(_ctxt);
  }

  // --- paths and errors ---------------------------------------------------------------
  std::string Path() const {
    std::string p;
    for (std::size_t i = 0; i < _depth; ++i) {
      p += '/';
      p += _frames[i].name;
      if (_frames[i].item >= 0) {
        p += '[';
        p += std::to_string(_frames[i].item);
        p += ']';
      }
    }
    return p;
  }
  [[noreturn]] void Err(std::string const& what) const {
    ThrowDecode(what + " at " + Path() + " (line " + std::to_string(Line()) + ")");
  }
  void Skipped(std::string_view what) {
    DecodeReport* rep = _opt->report;
    if (!rep) return;
    if (rep->onSkip)
      rep->onSkip(Printable(Path(), std::string::npos), Printable(what));  // input, shown escaped like any message
  }

  // --- elements -----------------------------------------------------------------------
  Frame& Push(std::string_view name) {
    if (_depth == _frames.size()) _frames.emplace_back();
    Frame& f = _frames[_depth++];
    f.kind = FK::Skip;
    f.role = Role::Value;
    f.name.assign(name);
    f.item = -1;
    f.slot = nullptr;
    f.vk = VK::Any;
    f.type = nullptr;
    f.obj = nullptr;
    f.data = nullptr;
    f.plan = nullptr;
    f.hint = 0;
    f.text.clear();
    f.refType.clear();
    f.sawChild = false;
    return f;
  }

  void Start(std::string_view local, int nbAttributes, xmlChar const** attributes) {
    Limits const& lim = _opt->limits;
    if (++_elements > lim.maxElements) Err("more than " + std::to_string(lim.maxElements) + " elements");
    if (_depth >= lim.maxDepth) Err("elements nested deeper than " + std::to_string(lim.maxDepth));
    if (_depth == 0 && _rootDone) Err("a second root element");
    Frame& f = Push(local);  // may move the frames: the parent is taken after
    Frame* parent = _depth >= 2 ? &_frames[_depth - 2] : nullptr;
    std::string_view xsiType, refType, target, targetType;  // null data: absent
    bool nil = false;
    for (int i = 0; i < nbAttributes; ++i) {
      xmlChar const* const* a = attributes + 5 * i;  // local name, prefix, URI, value start, value end
      std::string_view name = View(a[0]);
      std::string_view value(reinterpret_cast<char const*>(a[3]), static_cast<std::size_t>(a[4] - a[3]));
      if (!a[1]) {
        if (name == "type")
          refType = value;
        else if (name == "target")
          target = value;
        else if (name == "targetType")
          targetType = value;
      } else if (a[2] ? View(a[2]) == kXsiNs : View(a[1]) == "xsi") {  // "xsi" is understood undeclared
        if (name == "type")
          xsiType = value;
        else if (name == "nil")
          nil = value == "true" || value == "1";
      }
    }

    if (!parent) {
      if (_doc == XmlDoc::Value) {
        if (_declared->IsArray()) {
          Begin(f, VK::Any, ScalarType(VK::Any), xsiType, nil, refType);
        } else {
          Begin(f, KindOf(_declared), _declared, xsiType, nil, refType);
        }
      } else {
        if (local != "Envelope") Err("expected a SOAP Envelope, found <" + std::string(local) + ">");
        f.kind = FK::Envelope;
      }
      return;
    }
    parent->sawChild = true;
    switch (parent->kind) {
      case FK::Skip:
        return;
      case FK::Text:
      case FK::Ref:
        Err("unexpected element <" + std::string(local) + "> inside a simple value");
      case FK::Envelope:
        if (local == "Header")
          f.kind = FK::Header;
        else if (local == "Body") {
          if (_bodySeen) Err("a second SOAP Body");
          _bodySeen = true;
          f.kind = FK::Body;
        } else {
          Err("unexpected <" + std::string(local) + "> in the SOAP Envelope");
        }
        return;
      case FK::Header:
        if (local == "apiVersion") {
          f.kind = FK::Text;
          f.role = Role::ApiVersion;
          _apiNs = _elementNs;
        }
        return;  // other header entries are not ours
      case FK::Body:
        return BodyChild(f, local, target, targetType);
      case FK::Fault:
        if (local == "detail")
          f.kind = FK::Detail;
        else if (local == "faultstring") {
          f.kind = FK::Text;
          f.role = Role::FaultString;
        } else {
          f.kind = FK::Text;
          f.role = Role::Other;
        }
        return;
      case FK::Detail: {
        if (_res->fault) return;  // only the first entry is the fault
        DataObjectType const* ft = FaultType(local, xsiType);
        Begin(f, VK::Data, ft, {}, false, {});
        return;
      }
      case FK::Items:
        f.item = static_cast<long>(ArrayLength(parent->obj.get(), parent->vk));
        Begin(f, parent->vk, parent->type, xsiType, nil, refType);
        return;
      case FK::Data:
      case FK::Composite: {
        Slot const* s = parent->plan->Find(local, parent->hint);
        if (!s) {
          if (parent->kind == FK::Composite) {
            Err(std::string(_doc == XmlDoc::Request ? "unknown argument <" : "unexpected <") + std::string(local) +
                ">");
          }
          if (DecodeReport* rep = _opt->report) ++rep->skippedElements;
          f.kind = FK::Skip;
          Skipped("unknown property " + std::string(local));
          return;
        }
        if (parent->seen[s->index] && !s->array) Err("property <" + std::string(local) + "> given twice");
        parent->seen[s->index] = 1;
        f.slot = s;
        if (s->array) {
          Any* a = parent->pending[s->index].get();
          f.item = static_cast<long>(a ? ArrayLength(a, s->vk) : 0);
        }
        Begin(f, s->vk, s->type, xsiType, nil, refType);
        return;
      }
    }
  }

  DataObjectType const* FaultType(std::string_view local, std::string_view xsiType) {
    auto fault = [](Type* t) -> DataObjectType const* {
      return t && t->GetKind() == KIND_FAULT ? static_cast<DataObjectType const*>(t) : nullptr;
    };
    DataObjectType const* t = nullptr;
    if (xsiType.data()) {
      std::size_t colon = xsiType.find(':');
      t = fault(FindTypeByWsdlName(colon == std::string_view::npos ? xsiType : xsiType.substr(colon + 1)));
    }
    if (!t && local.size() > 5 && local.ends_with("Fault"))
      t = fault(FindTypeByWsdlName(local.substr(0, local.size() - 5)));
    if (!t) {
      // A fault of a newer peer: the nearest class this end knows.
      if (DecodeReport* rep = _opt->report) ++rep->unknownTypes;
      Skipped("unknown fault " + std::string(xsiType.data() ? xsiType : local));
      t = fault(FindTypeByInfo(&gSedgeRuntimeFaultTypeInfo));
    }
    return t;
  }

  void BodyChild(Frame& f, std::string_view local, std::string_view target, std::string_view targetType) {
    if (_sawMessage) Err("a second element in the SOAP Body");
    _sawMessage = true;
    if (_doc == XmlDoc::Request) {
      if (!targetType.data() || !target.data())
        Err("request <" + std::string(local) + "> without target and targetType");
      Type* t = FindTypeByWsdlName(targetType);
      if (!t || t->GetKind() != KIND_MANAGED) Err("unknown managed type '" + std::string(targetType) + "'");
      auto* mt = static_cast<ManagedObjectType*>(t);
      ManagedMethod* m = mt->FindMethodByWsdlName(local);
      if (!m) {
        if (ManagedProperty const* p = mt->FindProperty(local)) m = p->reader;
      }
      if (!m) Err("type " + std::string(mt->GetName()) + " has no method or property '" + std::string(local) + "'");
      if (!_version) {
        // No apiVersion header: the answer speaks the request's own namespace.
        _version = NewestOfNamespace(_elementNs);
        _vf = VersionFilter(_version);
      }
      Request& req = _res->request;
      req.target = new MoRef(mt->GetName(), std::string(target));
      req.method = m;
      req.args.assign(m->GetParameterCount(), nullptr);
      BeginComposite(f, ParamPlanOf(m));
      return;
    }
    if (local == "Fault") {
      _res->isFault = true;
      f.kind = FK::Fault;
      return;
    }
    std::string want = std::string(_method->GetWsdlName()) + "Response";
    if (local != want) Err("expected <" + want + ">, found <" + std::string(local) + ">");
    _resultArgs.assign(1, nullptr);
    BeginComposite(f, ResultPlanOf(_method));
  }

  void BeginComposite(Frame& f, Plan const& plan) {
    f.kind = FK::Composite;
    f.plan = &plan;
    f.seen.assign(plan.slots.size(), 0);
    f.pending.clear();
    f.pending.resize(plan.slots.size());
  }

  // Starts reading a value in a position of kind `vk` and type `declared`.
  void Begin(Frame& f, VK vk, Type const* declared, std::string_view xsiType, bool nil, std::string_view refType) {
    if (nil) {
      f.kind = FK::Skip;  // a null: the position stays empty
      return;
    }
    VK k = vk;
    Type const* t = declared;
    bool array = false;
    if (xsiType.data()) {
      std::size_t colon = xsiType.find(':');
      std::string_view localType = colon == std::string_view::npos ? xsiType : xsiType.substr(colon + 1);
      Named n = ResolveWireType(localType);
      if (!n.known) {
        if (DecodeReport* rep = _opt->report) ++rep->unknownTypes;
        if (k == VK::Data && Basalt::Ref<DynamicData>(static_cast<DataObjectType const*>(declared)->Create())) {
          Skipped("unknown type " + std::string(localType) + " read as " + declared->GetName());
        } else if (k == VK::Any || k == VK::Data) {
          // Nothing this end knows can hold it: the position stays empty.
          Skipped("unknown type " + std::string(localType));
          f.kind = FK::Skip;
          return;
        } else {
          Err("unknown type '" + std::string(localType) + "'");
        }
      } else if (n.array) {
        if (k != VK::Any) Err("array type '" + std::string(localType) + "' where a single value is expected");
        array = true;
        k = n.vk;
        t = n.type;
      } else if (k == VK::Any) {
        k = n.vk;
        t = n.type;
      } else if (k == VK::Data) {
        if (n.vk != VK::Data ||
            !static_cast<DataObjectType const*>(n.type)->IsSubtypeOf(static_cast<DataObjectType const*>(declared))) {
          Err("type '" + std::string(localType) + "' is not a " + declared->GetName());
        }
        t = n.type;
      } else if (n.vk != k || (k == VK::Enum && n.type != declared)) {
        Err("type '" + std::string(localType) + "' where a " + declared->GetName() + " is expected");
      }
    } else if (k == VK::Any) {
      Err("a value in an any-typed position without xsi:type");
    }
    f.vk = k;
    f.type = t;
    if (array) {
      f.kind = FK::Items;
      f.obj = NewArray(k, t);
      if (!f.obj) Err(std::string("no array of ") + t->GetName() + " can be made");
      return;
    }
    switch (k) {
      case VK::Ref:
        if (!refType.data()) Err("managed object reference without its type attribute");
        f.kind = FK::Ref;
        f.refType = refType;
        return;
      case VK::Data: {
        auto const* dt = static_cast<DataObjectType const*>(t);
        DynamicData* o = dt->Create();
        if (!o) Err(std::string("abstract type ") + dt->GetName() + " named for a value");
        f.obj = o;
        f.data = o;
        f.kind = FK::Data;
        f.plan = &PlanOf(dt);
        f.seen.assign(f.plan->slots.size(), 0);
        f.pending.clear();
        f.pending.resize(f.plan->slots.size());
        return;
      }
      default:
        f.kind = FK::Text;
        return;
    }
  }

  void Text(char const* s, int len) {
    Frame& f = _frames[_depth - 1];
    switch (f.kind) {
      case FK::Text:
      case FK::Ref:
        if (f.text.size() + static_cast<std::size_t>(len) > _opt->limits.maxStringBytes) {
          Err("text longer than " + std::to_string(_opt->limits.maxStringBytes) + " bytes");
        }
        f.text.append(s, static_cast<std::size_t>(len));
        return;
      case FK::Skip:
        return;
      default:
        if (!IsSpace(s, len)) Err("unexpected text");
    }
  }

  void End() {
    Frame& f = _frames[_depth - 1];
    switch (f.kind) {
      case FK::Text:
        if (f.role == Role::ApiVersion) {
          std::string_view v = f.text;
          while (!v.empty() && (v.front() == ' ' || v.front() == '\n' || v.front() == '\t' || v.front() == '\r'))
            v.remove_prefix(1);
          while (!v.empty() && (v.back() == ' ' || v.back() == '\n' || v.back() == '\t' || v.back() == '\r'))
            v.remove_suffix(1);
          _version = VersionOf(_apiNs, v);
          if (!_version) Err("unknown API version '" + std::string(v) + "'");
          _vf = VersionFilter(_version);
        } else if (f.role == Role::FaultString) {
          _res->faultString = f.text;
        } else if (f.role == Role::Value) {
          ReadScalar(f);
          DeliverScalar(f);
        }
        break;
      case FK::Ref: {
        if (f.text.empty()) Err("managed object reference without an id");
        Basalt::Ref<Any> ref(new MoRef(RefSedgeType(f.refType), f.text));
        Deliver(f, ref);
        break;
      }
      case FK::Data:
        FinishObject(f);
        Deliver(f, f.obj);
        break;
      case FK::Items:
        Deliver(f, f.obj);
        break;
      case FK::Composite:
        FinishComposite(f);
        break;
      default:
        break;
    }
    f.obj = nullptr;
    --_depth;
    if (_depth == 0) _rootDone = true;
  }

  void ReadScalar(Frame& f) {
    if (f.vk == VK::Enum) {
      std::string_view tag = f.text;
      int v = static_cast<EnumType const*>(f.type)->FindValue(tag);
      if (v < 0) Err("unknown tag '" + f.text + "' of enumeration " + f.type->GetName());
      _scalar.i = v;
      return;
    }
    if (f.vk >= VK::String && f.vk <= VK::Uri && f.vk != VK::DateTime && f.vk != VK::Binary) {
      SetStringScalar(f.vk, std::move(f.text), _scalar);
      return;
    }
    char const* what = "";
    if (!ParseScalarText(f.vk, f.text, _scalar, what)) {
      std::string shown = f.text.size() > 40 ? f.text.substr(0, 40) + "..." : f.text;
      Err("'" + shown + "' is " + what + " for " + ScalarType(f.vk)->GetName());
    }
  }

  // The position kind the parent holds this frame's value in.
  VK PositionKind(Frame const& f) const {
    if (f.slot) return f.slot->vk;
    if (_depth >= 2) {
      Frame const& parent = _frames[_depth - 2];
      if (parent.kind == FK::Items) return parent.vk;
    }
    if (_depth == 1 && _doc == XmlDoc::Value) return _declared->IsArray() ? VK::Any : KindOf(_declared);
    return f.vk;
  }

  // Plain values go straight into their field or array; only a value in an
  // any-typed position (or a call's argument) is boxed.
  void DeliverScalar(Frame& f) {
    Frame* parent = _depth >= 2 ? &_frames[_depth - 2] : nullptr;
    if (!parent || PositionKind(f) != f.vk) {
      Deliver(f, BoxScalar(f.vk, f.type, _scalar));
      return;
    }
    switch (parent->kind) {
      case FK::Items:
        AppendScalar(parent->obj.get(), f.vk, _scalar);
        return;
      case FK::Data:
        if (!f.slot->array) {
          StoreScalar(*f.slot, parent->data, f.vk, _scalar);
        } else {
          AppendScalar(PendingArray(*parent, *f.slot).get(), f.vk, _scalar);
        }
        return;
      case FK::Composite:
        if (f.slot->array) {
          AppendScalar(PendingArray(*parent, *f.slot).get(), f.vk, _scalar);
          return;
        }
        break;
      default:
        break;
    }
    Deliver(f, BoxScalar(f.vk, f.type, _scalar));
  }

  Basalt::Ref<Any>& PendingArray(Frame& parent, Slot const& s) {
    Basalt::Ref<Any>& a = parent.pending[s.index];
    if (!a) {
      a = NewArray(s.vk, s.type);
      if (!a) Err(std::string("no array of ") + s.type->GetName() + " can be made");
    }
    return a;
  }

  void Deliver(Frame& f, Basalt::Ref<Any> const& value) {
    if (_depth == 1) {
      _res->value = value;
      return;
    }
    Frame& parent = _frames[_depth - 2];
    switch (parent.kind) {
      case FK::Items:
        static_cast<DataArrayBase*>(parent.obj.get())->AppendAny(value.get());
        return;
      case FK::Detail:
        _res->fault = static_cast<MethodFault*>(value.get());
        return;
      case FK::Data:
      case FK::Composite: {
        Slot const& s = *f.slot;
        if (s.array) {
          static_cast<DataArrayBase*>(PendingArray(parent, s).get())->AppendAny(value.get());
        } else if (parent.kind == FK::Data) {
          Basalt::Ref<Any> v = value;
          s.owner->setProperty(parent.data, s.ownIndex, &v);
        } else {
          Slots()[s.index] = value;
        }
        return;
      }
      default:
        return;
    }
  }

  ArgVector& Slots() { return _doc == XmlDoc::Request ? _res->request.args : _resultArgs; }

  void FinishObject(Frame& f) {
    Plan const& plan = *f.plan;
    for (std::size_t i = 0; i < plan.slots.size(); ++i) {
      Slot const& s = plan.slots[i];
      if (f.pending[i]) {
        s.owner->setProperty(f.data, s.ownIndex, &f.pending[i]);
        f.pending[i] = nullptr;
      } else if (!f.seen[i] && !s.optional && !s.array && _vf.Has(s)) {
        Err("missing required property <" + std::string(s.name) + "> of " + plan.type->GetName());
      }
    }
  }

  void FinishComposite(Frame& f) {
    Plan const& plan = *f.plan;
    ArgVector& slots = Slots();
    for (std::size_t i = 0; i < plan.slots.size(); ++i) {
      Slot const& s = plan.slots[i];
      if (f.pending[i]) {
        slots[i] = std::move(f.pending[i]);
      } else if (_doc == XmlDoc::Request && !f.seen[i] && !s.optional && !s.array && _vf.Has(s)) {
        Err("missing required argument <" + std::string(s.name) + ">");
      }
    }
    if (_doc == XmlDoc::Response) _res->value = std::move(_resultArgs[0]);
  }

  xmlParserCtxtPtr _ctxt = nullptr;
  XmlDoc _doc = XmlDoc::Value;
  Type const* _declared = nullptr;
  ManagedMethod const* _method = nullptr;
  DecodeOptions const* _opt = nullptr;
  XmlResult* _res = nullptr;
  std::vector<Frame> _frames;
  std::size_t _depth = 0;
  std::size_t _elements = 0;
  std::exception_ptr _error;
  bool _failed = false;
  bool _rootDone = false;
  bool _bodySeen = false;
  bool _sawMessage = false;
  Version const* _version = nullptr;
  std::string_view _elementNs;  // of the element being started; valid during Start only
  std::string _apiNs;           // namespace of the apiVersion header element
  VersionFilter _vf{nullptr};
  Scalar _scalar;
  ArgVector _resultArgs;
  std::vector<std::uint32_t> _open;  // CheckMarkup's
};

}  // namespace

void ReadXml(std::string_view xml, XmlDoc doc, Type const* declared, ManagedMethod const* method,
             DecodeOptions const& options, XmlResult& result) {
  // One parser per thread, reset between documents: the parser's tables and
  // the frames' buffers are made once.
  auto run = [&](Reader& r) {
    try {
      r.Run(xml, doc, declared, method, options, result);
    } catch (DecodeError const& e) {
      // A request that cannot be read is answered in the version it spoke.
      if (doc != XmlDoc::Request || e.GetVersion() || !r.Spoken()) throw;
      throw DecodeError(static_cast<Fault::InvalidRequest*>(e.GetFault()), e.what(), r.Spoken());
    }
  };
  thread_local Reader cached;
  if (cached.busy) {  // a decode from within a report callback
    Reader fresh;
    fresh.busy = true;
    run(fresh);
    return;
  }
  cached.busy = true;
  struct Release {
    Reader& r;
    ~Release() { r.busy = false; }
  } release{cached};
  run(cached);
}

}  // namespace Quill::Wire::Detail

namespace Quill::Wire {

Basalt::Ref<Any> DecodeXml(std::string_view xml, Type const* declared, DecodeOptions const& options) {
  if (!declared) Detail::ThrowDecode("no declared type to decode against");
  Detail::XmlResult r;
  Detail::ReadXml(xml, Detail::XmlDoc::Value, declared, nullptr, options, r);
  if (!r.value) Detail::ThrowDecode("document holds no value of " + std::string(declared->GetName()));
  return r.value;
}

}  // namespace Quill::Wire
