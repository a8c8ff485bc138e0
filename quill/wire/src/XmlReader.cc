#include <algorithm>
#include <cstring>
#include <pugixml.hpp>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

bool IsSpaceChar(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The number of the line `at` is on.
std::size_t LineAt(std::string_view xml, std::size_t at) {
  at = std::min(at, xml.size());
  return 1 + static_cast<std::size_t>(std::count(xml.data(), xml.data() + at, '\n'));
}

// "malformed XML at line 3, column 7: why" for the byte at offset `at`.
[[noreturn]] void ThrowMalformed(std::string_view xml, std::size_t at, std::string_view why) {
  at = std::min(at, xml.size());
  std::size_t nl = xml.rfind('\n', at == 0 ? 0 : at - 1);
  std::size_t column = nl == std::string_view::npos || nl >= at ? at + 1 : at - nl;
  ThrowDecode("malformed XML at line " + std::to_string(LineAt(xml, at)) + ", column " + std::to_string(column) + ": " +
              std::string(why));
}

// What the parser is told to do: keep text as written (the references are
// resolved below, where each is checked), keep CDATA and whitespace-only
// text, normalise line ends and attribute whitespace as XML says. No
// document type, no entities, no comments or processing instructions kept.
constexpr unsigned kParse =
    pugi::parse_minimal | pugi::parse_cdata | pugi::parse_eol | pugi::parse_wconv_attribute | pugi::parse_ws_pcdata;

// What one pass over the raw bytes finds: the first byte XML cannot carry
// (bad UTF-8, a C0 control, U+FFFE/U+FFFF), and how much markup there could
// be at most.
struct Survey {
  std::size_t bad = std::string_view::npos;
  char const* why = "";
  std::size_t lt = 0;  // '<': tags of every kind
  std::size_t eq = 0;  // '=': attributes and declarations
};

Survey SurveyInput(std::string_view xml) {
  Survey s;
  auto const* p = reinterpret_cast<unsigned char const*>(xml.data());
  std::size_t const n = xml.size();
  std::size_t i = 0;
  constexpr std::uint64_t k01 = 0x0101010101010101ull, k7F = 0x7F7F7F7F7F7F7F7Full, k80 = 0x8080808080808080ull;
  // The number of bytes of `w` equal to `c` (their top bits gathered by a
  // multiply: no popcount instruction is assumed).
  auto equal = [&](std::uint64_t w, unsigned char c) {
    std::uint64_t t = w ^ (k01 * c);
    std::uint64_t m = ~(((t & k7F) + k7F) | t | k7F);
    return static_cast<std::size_t>(((m >> 7) * k01) >> 56);
  };
  // Sixteen or eight bytes at a time while they are printable ASCII (what
  // markup and most text are); a byte outside it is looked at alone.
  while (i < n) {
#if defined(__SSE2__)
    // Per-byte counters, each byte lane counting up to 255 blocks, summed
    // when the run of printable blocks ends.
    __m128i const zero = _mm_setzero_si128();
    __m128i lts = zero, eqs = zero;
    std::size_t run = 0;
    while (n - i >= 16 && run < 255) {
      __m128i w = _mm_loadu_si128(reinterpret_cast<__m128i const*>(p + i));
      // Signed: bytes from 0x80 up compare below 0x20 too.
      if (_mm_movemask_epi8(_mm_cmplt_epi8(w, _mm_set1_epi8(0x20))) != 0) break;
      lts = _mm_sub_epi8(lts, _mm_cmpeq_epi8(w, _mm_set1_epi8('<')));
      eqs = _mm_sub_epi8(eqs, _mm_cmpeq_epi8(w, _mm_set1_epi8('=')));
      i += 16;
      ++run;
    }
    if (run) {
      auto sum = [&](__m128i v) {
        __m128i h = _mm_sad_epu8(v, zero);
        return static_cast<std::size_t>(_mm_cvtsi128_si32(h) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(h, h)));
      };
      s.lt += sum(lts);
      s.eq += sum(eqs);
      continue;
    }
#endif
    if (n - i >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p + i, 8);
      bool ascii = (w & k80) == 0 && ((w - 0x20 * k01) & k80) == 0;
      if (ascii) {
        s.lt += equal(w, '<');
        s.eq += equal(w, '=');
        i += 8;
        continue;
      }
    }
    unsigned char c = p[i];
    if (c >= 0x20 && c < 0x80) {
      s.lt += c == '<';
      s.eq += c == '=';
      ++i;
      continue;
    }
    if (c == '\t' || c == '\n' || c == '\r') {
      ++i;
      continue;
    }
    if (c < 0x20) {
      s.bad = i;
      s.why = "a control character";
      return s;
    }
    // Past ASCII: the shared check of API strings holds for the rest.
    std::size_t bad = BadCharAt(xml.substr(i), s.why);
    if (bad != std::string_view::npos) {
      s.bad = i + bad;
      return s;
    }
    for (; i < n; ++i) {
      s.lt += p[i] == '<';
      s.eq += p[i] == '=';
    }
  }
  return s;
}

// Resolves the predefined entities and character references of `s[0, n)` in
// place (never longer than what it replaces); the new length, or npos with
// `bad` at the offending '&'.
std::size_t Unescape(char* s, std::size_t n, std::size_t& bad) {
  char* const end = s + n;
  char* out = static_cast<char*>(std::memchr(s, '&', n));
  if (!out) return n;
  char const* in = out;
  while (in < end) {
    if (*in != '&') {
      *out++ = *in++;
      continue;
    }
    char const* semi = static_cast<char const*>(std::memchr(in, ';', static_cast<std::size_t>(end - in)));
    if (!semi) {
      bad = static_cast<std::size_t>(in - s);
      return std::string_view::npos;
    }
    std::string_view name(in + 1, static_cast<std::size_t>(semi - in - 1));
    std::uint32_t cp = 0;
    if (name == "lt") {
      cp = '<';
    } else if (name == "gt") {
      cp = '>';
    } else if (name == "amp") {
      cp = '&';
    } else if (name == "apos") {
      cp = '\'';
    } else if (name == "quot") {
      cp = '"';
    } else if (name.size() >= 2 && name[0] == '#') {
      bool hex = name[1] == 'x';
      std::string_view digits = name.substr(hex ? 2 : 1);
      bool ok = !digits.empty() && digits.size() <= 8;
      for (char c : digits) {
        int d = c >= '0' && c <= '9'          ? c - '0'
                : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                              : -1;
        if (d < 0) ok = false;
        cp = cp * (hex ? 16 : 10) + static_cast<std::uint32_t>(d < 0 ? 0 : d);
      }
      // A character XML carries (the production Char).
      ok = ok && (cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
                  (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF));
      if (!ok) cp = 0;
    }
    if (cp == 0) {  // an entity of a document type, which there is none of, or a bad reference
      bad = static_cast<std::size_t>(in - s);
      return std::string_view::npos;
    }
    if (cp < 0x80) {
      *out++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
      *out++ = static_cast<char>(0xC0 | (cp >> 6));
      *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *out++ = static_cast<char>(0xE0 | (cp >> 12));
      *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *out++ = static_cast<char>(0xF0 | (cp >> 18));
      *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    in = semi + 1;
  }
  return static_cast<std::size_t>(out - s);
}

// The parser makes a node for every element and attribute before the reader
// sees one: a document of nothing but tiny elements or attributes would take
// many times its size in nodes. When the survey finds more '<' or '=' than
// the limits could allow, the markup is counted first, in one pass that knows
// just enough of it (comments, CDATA, processing instructions, quoted values)
// to count exactly in a well-formed document. In a malformed one the counts
// may be off; the parser refuses it then anyway.
// `open` is scratch space, kept by the caller from one document to the next.
void CheckMarkup(std::string_view xml, Limits const& lim, std::vector<std::uint32_t>& open) {
  char const* const begin = xml.data();
  char const* const e = begin + xml.size();
  char const* p = begin;
  std::size_t attributes = 0, namespaces = 0, elements = 0;
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
    ThrowDecode(what + " (line " + std::to_string(LineAt(xml, static_cast<std::size_t>(tag - begin))) + ")");
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
    if (++elements > lim.maxElements) refuse(tag, "more than " + std::to_string(lim.maxElements) + " elements");
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
  std::string_view name;       // in the parsed document
  std::size_t at = 0;          // offset of its name in the document, for messages
  long item = -1;              // index among the items of an array
  Slot const* slot = nullptr;  // its slot in a Data or Composite parent
  VK vk = VK::Any;             // what this frame reads
  Type const* type = nullptr;
  Basalt::Ref<Any> obj;  // Data: the object; Items: the array
  DynamicData* data = nullptr;
  Plan const* plan = nullptr;
  std::uint32_t hint = 0;
  std::uint32_t namespaces = 0;           // declared by this element
  std::vector<std::uint8_t> seen;         // per slot
  std::vector<Basalt::Ref<Any>> pending;  // array per slot, set when the object ends
  // The text read: in the document when it is one piece (as it nearly
  // always is), else gathered in `joined`.
  std::string_view text;
  std::string joined;
  std::string_view refType;
  bool sawChild = false;
};

bool IsSpace(char const* s, std::size_t len) {
  for (std::size_t i = 0; i < len; ++i) {
    if (!IsSpaceChar(s[i])) return false;
  }
  return true;
}

// The attributes of the element being started that the reader looks at;
// null data: absent.
struct Attrs {
  std::string_view xsiType, refType, target, targetType;
  bool nil = false;
};

class Reader {
 public:
  Reader() = default;
  Reader(Reader const&) = delete;
  Reader& operator=(Reader const&) = delete;

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
    _attributes = 0;
    _namespaces = 0;
    _scope.clear();
    _at = 0;
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
    _xml = xml;
    // The parser checks neither UTF-8 nor which characters a document may
    // hold: every byte is looked at here first.
    Survey survey = SurveyInput(xml);
    if (survey.bad != std::string_view::npos) ThrowMalformed(xml, survey.bad, survey.why);
    std::size_t prolog = Prolog();
    Limits const& lim = options.limits;
    // (Also when there are more '=' than every tag could carry: one start
    // tag too long to read is then refused before it is parsed.)
    if (survey.lt > 2 * lim.maxElements + 2 || survey.eq > lim.maxAttributes + lim.maxNamespaces ||
        survey.eq > (survey.lt + 1) * (lim.maxAttributesPerElement + lim.maxNamespacesPerElement)) {
      CheckMarkup(xml, lim, _open);
    }

    // Parsed in place, in a copy: the reader resolves references and cuts
    // values in it, and strings are made straight from it.
    _buf.assign(xml.begin(), xml.end());
    _buf.push_back('\0');
    pugi::xml_parse_result parsed = _dom.load_buffer_inplace(_buf.data(), xml.size(), kParse, pugi::encoding_utf8);
    if (!parsed) {
      // What the parser read before it stopped is kept: a limit broken there
      // is what a reader reading in order meets first (a document cut off
      // 100,000 elements deep is refused for its depth).
      PartialLimits();
      ThrowMalformed(xml, static_cast<std::size_t>(parsed.offset), parsed.description());
    }
    pugi::xml_node root;
    for (pugi::xml_node n = _dom.first_child(); n; n = n.next_sibling()) {
      if (n.type() != pugi::node_element) ThrowMalformed(xml, Offset(n.value()), "content outside the root element");
      if (root) {
        _at = Offset(n.name());
        ThrowDecode("a second root element (line " + std::to_string(Line()) + ")");
      }
      root = n;
    }
    if (!root) ThrowMalformed(xml, xml.size(), "no root element");
    if (Offset(root.name()) != prolog + 1) ThrowMalformed(xml, prolog, "content before the root element");
    Epilog(root);

    try {
      Walk(root);
    } catch (...) {
      Release();
      throw;
    }
    Release();
    if (xml.size() > (1u << 20)) {  // what a large document needed is not kept for the next
      _dom.reset();
      std::vector<char>().swap(_buf);
    }
    if (doc != XmlDoc::Value && !_bodySeen) ThrowDecode("SOAP envelope without a Body");
    if (doc != XmlDoc::Value && !_sawMessage) {
      ThrowDecode(doc == XmlDoc::Request ? "SOAP Body without a request element"
                                         : "SOAP Body without a response or a fault");
    }
    if (doc == XmlDoc::Request) result.request.version = _version ? _version : DefaultVersion();
  }

 private:
  // --- the document around the root ---------------------------------------------------
  // Where the root element's '<' must be: past the XML declaration,
  // processing instructions, comments and white space. A document type
  // declaration is refused here, before the parser sees it.
  std::size_t Prolog() const {
    std::string_view x = _xml;
    std::size_t p = 0;
    while (p < x.size()) {
      if (IsSpaceChar(x[p])) {
        ++p;
      } else if (x.substr(p, 2) == "<?") {
        std::size_t e = x.find("?>", p + 2);
        if (e == std::string_view::npos) break;
        p = e + 2;
      } else if (x.substr(p, 4) == "<!--") {
        std::size_t e = x.find("-->", p + 4);
        if (e == std::string_view::npos) break;
        p = e + 3;
      } else if (x.substr(p, 2) == "<!" && x.substr(p + 2).starts_with("DOCTYPE")) {
        ThrowDecode("document type declarations are refused (line " + std::to_string(LineAt(x, p)) + ")");
      } else {
        break;
      }
    }
    return p;
  }

  // After the root only white space, comments and processing instructions
  // may follow (the parser passes over anything at the top).
  void Epilog(pugi::xml_node root) const {
    std::string_view x = _xml;
    std::size_t p = x.size();
    for (;;) {
      while (p > 0 && IsSpaceChar(x[p - 1])) --p;
      std::string_view head = x.substr(0, p);
      std::size_t open = std::string_view::npos;
      if (head.ends_with("?>")) open = head.rfind("<?", p - 2);
      if (head.ends_with("-->")) open = head.rfind("<!--", p - 3);
      if (open == std::string_view::npos || open <= Offset(root.name())) break;
      p = open;
    }
    // p is just past the root's end: its end tag, or its start tag when empty.
    std::size_t start = Offset(root.name()) - 1;
    std::size_t lt = p == 0 ? std::string_view::npos : x.rfind('<', p - 1);
    std::string_view name = root.name();
    bool ok = p >= 2 && x[p - 1] == '>';
    if (ok && lt == start) {
      ok = x[p - 2] == '/';
    } else if (ok && lt != std::string_view::npos) {
      std::string_view tag = x.substr(lt, p - 1 - lt);  // "</name  "
      ok = tag.starts_with("</") && tag.substr(2, name.size()) == name &&
           IsSpace(tag.data() + 2 + name.size(), tag.size() - 2 - std::min(tag.size() - 2, name.size()));
    } else {
      ok = false;
    }
    if (!ok) ThrowMalformed(x, p, "content after the root element");
  }

  void PartialLimits() {
    Limits const& lim = _opt->limits;
    std::size_t depth = 0, elements = 0;
    pugi::xml_node n = _dom.first_child();
    while (n) {
      if (n.type() == pugi::node_element) {
        _at = Offset(n.name());
        if (++elements > lim.maxElements) {
          ThrowDecode("more than " + std::to_string(lim.maxElements) + " elements (line " + std::to_string(Line()) +
                      ")");
        }
        if (++depth > lim.maxDepth) {
          ThrowDecode("elements nested deeper than " + std::to_string(lim.maxDepth) + " (line " +
                      std::to_string(Line()) + ")");
        }
        if (pugi::xml_node c = n.first_child()) {
          n = c;
          continue;
        }
        --depth;
      }
      while (n && !n.next_sibling()) {
        n = n.parent();
        if (n && n.type() == pugi::node_element) --depth;
      }
      if (n) n = n.next_sibling();
    }
  }

  std::size_t Offset(char const* inBuffer) const { return static_cast<std::size_t>(inBuffer - _buf.data()); }
  std::size_t Line() const { return LineAt(_xml, _at); }

  // Frames keep their buffers for the next document, not their objects.
  void Release() {
    for (Frame& f : _frames) {
      f.obj = nullptr;
      f.pending.clear();
    }
  }

  // --- the walk -------------------------------------------------------------------------
  // Once through the parsed tree, in document order, without recursion:
  // the depth is the caller's limit, not the stack's.
  void Walk(pugi::xml_node root) {
    pugi::xml_node node = root;
    Open(node);
    pugi::xml_node next = node.first_child();
    for (;;) {
      if (next) {
        if (next.type() == pugi::node_element) {
          node = next;
          Open(node);
          next = node.first_child();
        } else {
          TextNode(next);
          next = next.next_sibling();
        }
        continue;
      }
      _at = _frames[_depth - 1].at;
      End();
      if (_depth == 0) return;  // the root ended
      next = node.next_sibling();
      node = node.parent();
    }
  }

  // Namespace declarations in scope, innermost last.
  struct Declared {
    std::string_view prefix, uri;
  };
  // The namespace `prefix` stands for; null data when it is not declared.
  std::string_view Resolve(std::string_view prefix) const {
    for (std::size_t i = _scope.size(); i-- > 0;) {
      if (_scope[i].prefix == prefix) return _scope[i].uri;
    }
    if (prefix == "xml") return "http://www.w3.org/XML/1998/namespace";
    return prefix.empty() ? std::string_view("") : std::string_view();
  }

  // An attribute value with its references resolved (in the buffer).
  std::string_view Value(pugi::xml_attribute a) {
    char* v = const_cast<char*>(a.value());  // the buffer is ours: parsed in place
    std::size_t n = std::strlen(v);
    if (std::memchr(v, '<', n)) ThrowMalformed(_xml, Offset(v), "'<' in an attribute value");
    std::size_t bad = 0;
    n = Unescape(v, n, bad);
    if (n == std::string_view::npos)
      ThrowMalformed(_xml, Offset(v) + bad, "an undefined entity or a bad character reference");
    return {v, n};
  }

  void Open(pugi::xml_node node) {
    _node = node;
    Limits const& lim = _opt->limits;
    std::string_view qname = node.name();
    _at = Offset(qname.data());
    auto refuse = [&](std::string const& what) { ThrowDecode(what + " (line " + std::to_string(Line()) + ")"); };
    // The limits on markup first, each before what it limits is looked at.
    std::size_t own = 0, ownNs = 0;
    _attrs.clear();
    pugi::xml_attribute const first = node.first_attribute();  // most elements have none
    for (pugi::xml_attribute a = first; a; a = a.next_attribute()) {
      std::string_view name = a.name();
      if (name == "xmlns" || name.starts_with("xmlns:")) {
        if (++ownNs > lim.maxNamespacesPerElement) {
          refuse("an element declares more than " + std::to_string(lim.maxNamespacesPerElement) + " namespaces");
        }
        if (++_namespaces > lim.maxNamespaces) {
          refuse("more than " + std::to_string(lim.maxNamespaces) + " namespace declarations");
        }
        if (_scope.size() + 1 > lim.maxNamespacesInScope) {
          refuse("more than " + std::to_string(lim.maxNamespacesInScope) + " namespace declarations in scope");
        }
        _scope.push_back({name.size() > 5 ? name.substr(6) : std::string_view(""), Value(a)});
      } else {
        if (++own > lim.maxAttributesPerElement) {
          refuse("an element has more than " + std::to_string(lim.maxAttributesPerElement) + " attributes");
        }
        if (++_attributes > lim.maxAttributes) refuse("more than " + std::to_string(lim.maxAttributes) + " attributes");
      }
      // Names are unique within a tag; the limits above keep this short.
      for (std::string_view const& earlier : _attrs) {
        if (earlier == name) {
          ThrowMalformed(_xml, Offset(name.data()), "attribute " + Printable(name) + " given twice");
        }
      }
      _attrs.push_back(name);
    }
    _ownNs = static_cast<std::uint32_t>(ownNs);

    Attrs at;
    for (pugi::xml_attribute a = first; a; a = a.next_attribute()) {
      std::string_view name = a.name();
      std::size_t colon = name.find(':');
      if (colon == std::string_view::npos) {
        if (name == "type")
          at.refType = Value(a);
        else if (name == "target")
          at.target = Value(a);
        else if (name == "targetType")
          at.targetType = Value(a);
        else if (name != "xmlns")
          Value(a);  // checked all the same
        continue;
      }
      std::string_view prefix = name.substr(0, colon), local = name.substr(colon + 1);
      if (prefix == "xmlns") continue;
      std::string_view v = Value(a);
      std::string_view uri = Resolve(prefix);
      if (uri.data() ? uri == kXsiNs : prefix == "xsi") {  // "xsi" is understood undeclared
        if (local == "type")
          at.xsiType = v;
        else if (local == "nil")
          at.nil = v == "true" || v == "1";
      }
    }
    std::size_t colon = qname.find(':');
    std::string_view local = colon == std::string_view::npos ? qname : qname.substr(colon + 1);
    _elementPrefix = colon == std::string_view::npos ? std::string_view("") : qname.substr(0, colon);
    Start(local, at);
  }

  void TextNode(pugi::xml_node node) {
    char* v = const_cast<char*>(node.value());  // the buffer is ours: parsed in place
    std::size_t n = std::strlen(v);
    _at = Offset(v);
    if (node.type() == pugi::node_pcdata) {
      if (std::memchr(v, ']', n) && std::string_view(v, n).find("]]>") != std::string_view::npos) {
        ThrowMalformed(_xml, Offset(v) + std::string_view(v, n).find("]]>"), "']]>' in text");
      }
      std::size_t bad = 0;
      n = Unescape(v, n, bad);
      if (n == std::string_view::npos) {
        ThrowMalformed(_xml, Offset(v) + bad, "an undefined entity or a bad character reference");
      }
    }
    Text(v, n);
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
    f.name = name;
    f.at = _at;
    f.item = -1;
    f.slot = nullptr;
    f.vk = VK::Any;
    f.type = nullptr;
    f.obj = nullptr;
    f.data = nullptr;
    f.plan = nullptr;
    f.hint = 0;
    f.text = {};
    f.joined.clear();
    f.refType = {};
    f.namespaces = _ownNs;
    f.sawChild = false;
    return f;
  }

  void Start(std::string_view local, Attrs const& at) {
    Limits const& lim = _opt->limits;
    if (++_elements > lim.maxElements) Err("more than " + std::to_string(lim.maxElements) + " elements");
    if (_depth >= lim.maxDepth) Err("elements nested deeper than " + std::to_string(lim.maxDepth));
    if (_depth == 0 && _rootDone) Err("a second root element");
    Frame& f = Push(local);  // may move the frames: the parent is taken after
    Frame* parent = _depth >= 2 ? &_frames[_depth - 2] : nullptr;
    std::string_view xsiType = at.xsiType, refType = at.refType, target = at.target, targetType = at.targetType;
    bool nil = at.nil;

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
          _apiNs = Resolve(_elementPrefix);
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
        _version = NewestOfNamespace(Resolve(_elementPrefix));
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
      std::size_t n = 0;
      for (pugi::xml_node c = _node.first_child(); c; c = c.next_sibling()) n += c.type() == pugi::node_element;
      if (n > 1) ReserveItems(f.obj.get(), k, n);
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

  void Text(char const* s, std::size_t len) {
    Frame& f = _frames[_depth - 1];
    switch (f.kind) {
      case FK::Text:
      case FK::Ref:
        if (f.text.size() + len > _opt->limits.maxStringBytes) {
          Err("text longer than " + std::to_string(_opt->limits.maxStringBytes) + " bytes");
        }
        if (f.text.empty()) {
          f.text = {s, len};  // as the document holds it
        } else {
          if (f.joined.empty()) f.joined.assign(f.text);
          f.joined.append(s, len);
          f.text = f.joined;
        }
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
          _res->faultString.assign(f.text);
        } else if (f.role == Role::Value) {
          ReadScalar(f);
          DeliverScalar(f);
        }
        break;
      case FK::Ref: {
        if (f.text.empty()) Err("managed object reference without an id");
        Basalt::Ref<Any> ref(new MoRef(RefSedgeType(f.refType), std::string(f.text)));
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
    _scope.resize(_scope.size() - f.namespaces);
    --_depth;
    if (_depth == 0) _rootDone = true;
  }

  void ReadScalar(Frame& f) {
    if (f.vk == VK::Enum) {
      std::string_view tag = f.text;
      int v = static_cast<EnumType const*>(f.type)->FindValue(tag);
      if (v < 0) Err("unknown tag '" + std::string(f.text) + "' of enumeration " + f.type->GetName());
      _scalar.i = v;
      return;
    }
    if (f.vk >= VK::String && f.vk <= VK::Uri && f.vk != VK::DateTime && f.vk != VK::Binary) {
      // The field takes the bytes: one string, made from the document (or
      // the joined pieces, moved).
      SetStringScalar(f.vk, f.joined.empty() ? std::string(f.text) : std::move(f.joined), _scalar);
      return;
    }
    char const* what = "";
    if (!ParseScalarText(f.vk, f.text, _scalar, what)) {
      std::string shown = f.text.size() > 40 ? std::string(f.text.substr(0, 40)) + "..." : std::string(f.text);
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
      // The items of an array stand side by side: as many as follow, room
      // for them at once rather than growing item by item.
      std::size_t n = 1;
      char const* name = _node.name();
      for (pugi::xml_node sib = _node.next_sibling(); sib && std::strcmp(sib.name(), name) == 0;
           sib = sib.next_sibling())
        ++n;
      if (n > 1) ReserveItems(a.get(), s.vk, n);
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
          s.owner->setProperty(parent.data, s.ownIndex, &value);
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

  XmlDoc _doc = XmlDoc::Value;
  Type const* _declared = nullptr;
  ManagedMethod const* _method = nullptr;
  DecodeOptions const* _opt = nullptr;
  XmlResult* _res = nullptr;
  std::vector<Frame> _frames;
  std::size_t _depth = 0;
  std::size_t _elements = 0;
  std::size_t _attributes = 0;
  std::size_t _namespaces = 0;
  bool _rootDone = false;
  bool _bodySeen = false;
  bool _sawMessage = false;
  Version const* _version = nullptr;
  std::string_view _elementPrefix;  // of the element being started (its namespace is looked up when needed)
  std::string_view _apiNs;          // namespace of the apiVersion header element
  VersionFilter _vf{nullptr};
  Scalar _scalar;
  ArgVector _resultArgs;
  std::string_view _xml;   // the document as given (for lines in messages)
  std::vector<char> _buf;  // its copy, parsed in place
  pugi::xml_document _dom;
  std::size_t _at = 0;                   // offset of the node being read
  std::vector<Declared> _scope;          // namespace declarations in scope
  std::uint32_t _ownNs = 0;              // declared by the element being started
  std::vector<std::string_view> _attrs;  // names in the start tag being read
  std::vector<std::uint32_t> _open;      // CheckMarkup's
  pugi::xml_node _node;                  // the element being started
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
