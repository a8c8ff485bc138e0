#include "Render.h"

#include <algorithm>
#include <map>

#include "Catalog.h"

namespace Inspect {

namespace {

std::string OrDash(char const* s) { return s && *s ? s : "-"; }

void WritePropertyMembers(JsonWriter& w, Quill::PropertyInfo const& p) {
  w.MemberOrNull("name", p.name);
  w.MemberOrNull("type", p.type ? p.type->name : nullptr);
  w.Key("flags");
  w.UInt(p.flags);
  w.MemberOrNull("version", p.version);
  w.MemberOrNull("privilege", p.privilege);
}

void WriteMethodMembers(JsonWriter& w, Quill::MethodInfo const& m) {
  w.MemberOrNull("name", m.name);
  w.MemberOrNull("wsdlName", m.wsdlName);
  w.MemberOrNull("privilege", m.privilege);
  w.Key("typePrivileges");
  w.BeginArray();
  for (auto const* tp = m.typePrivileges; tp && tp->typeName; ++tp) {
    w.BeginArray();
    w.String(tp->typeName);
    w.StringOrNull(tp->privilege);
    w.EndArray();
  }
  w.EndArray();
  w.MemberOrNull("version", m.version);
  w.Key("isTask");
  w.Bool(m.isTask != 0);
  w.Key("isInternal");
  w.Bool(m.isInternal != 0);
  w.Key("result");
  w.BeginObject();
  w.MemberOrNull("type", m.result.type ? m.result.type->name : nullptr);
  w.Key("flags");
  w.UInt(m.result.flags);
  w.MemberOrNull("version", m.result.version);
  w.EndObject();
  w.Key("params");
  w.BeginArray();
  for (auto const* p = m.params; p && p->name; ++p) {
    w.BeginObject();
    WritePropertyMembers(w, *p);
    w.EndObject();
  }
  w.EndArray();
  w.Key("faults");
  w.BeginArray();
  for (auto const* const* f = m.faults; f && *f; ++f) w.String((*f)->name);
  w.EndArray();
}

void WriteMethodJson(JsonWriter& w, Quill::MethodInfo const& m) {
  w.BeginObject();
  WriteMethodMembers(w, m);
  w.EndObject();
}

bool HasProperties(Quill::Type const* t) {
  Quill::TypeKind k = t->GetKind();
  return k == Quill::KIND_DATA || k == Quill::KIND_FAULT || k == Quill::KIND_MANAGED;
}

std::string MethodFlags(Quill::MethodInfo const& m) {
  std::string out;
  if (m.isTask) out = "task";
  if (m.isInternal) out += out.empty() ? "internal" : ", internal";
  return out;
}

void WriteMethodText(std::string& out, Quill::MethodInfo const& m) {
  out += "  " + std::string(m.name) + " (" + OrDash(m.wsdlName) + ")\n";
  Table head;
  std::string result = TypeRef(m.result);
  if (m.result.type && m.result.flags) result += "  [" + FlagNames(m.result.flags) + "]";
  head.Add({"returns", result});
  head.Add({"privilege", OrDash(m.privilege)});
  if (m.typePrivileges && m.typePrivileges->typeName) {
    std::string list;
    for (auto const* tp = m.typePrivileges; tp->typeName; ++tp) {
      if (!list.empty()) list += ", ";
      list += std::string(tp->typeName) + ": " + OrDash(tp->privilege);
    }
    head.Add({"by type", list});
  }
  head.Add({"version", OrDash(m.version)});
  std::string flags = MethodFlags(m);
  if (!flags.empty()) head.Add({"marked", flags});
  std::string faults;
  for (auto const* const* f = m.faults; f && *f; ++f) {
    if (!faults.empty()) faults += ", ";
    faults += (*f)->name;
  }
  if (!faults.empty()) head.Add({"raises", faults});
  head.Print(out, "      ");
  Table params;
  for (auto const* p = m.params; p && p->name; ++p) {
    params.Add({"param", p->name, TypeRef(*p), FlagNames(p->flags), OrDash(p->version), OrDash(p->privilege)});
  }
  params.Print(out, "      ");
}

// Empty strings (no header for a standard class) are JSON null.
void WriteCppMembers(JsonWriter& w, Quill::Type const* type) {
  std::string cls = CppClass(type), header = CppHeader(type);
  w.MemberOrNull("cppClass", cls.empty() ? nullptr : cls.c_str());
  w.MemberOrNull("header", header.empty() ? nullptr : header.c_str());
}

void AddCppRows(Table& head, Quill::Type const* type) {
  std::string cls = CppClass(type), header = CppHeader(type);
  head.Add({"c++ class", cls.empty() ? "-" : cls});
  head.Add({"header", header.empty() ? "-" : header});
}

}  // namespace

void Table::Print(std::string& out, std::string const& indent) const {
  std::vector<std::size_t> width;
  for (auto const& row : _rows) {
    if (row.size() > width.size()) width.resize(row.size(), 0);
    for (std::size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
  }
  for (auto const& row : _rows) {
    std::string line = indent;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line.append(width[i] - row[i].size() + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line;
    out += '\n';
  }
}

void WriteTypeJson(JsonWriter& w, Quill::Type const* type, bool detail) {
  w.BeginObject();
  w.MemberOrNull("name", type->GetName());
  w.MemberOrNull("wsdlName", type->GetWsdlName());
  w.Member("kind", KindName(type->GetKind()));
  w.Member("module", ModuleOf(type));
  w.MemberOrNull("version", type->GetVersionName());
  w.MemberOrNull("base", BaseName(type));
  WriteCppMembers(w, type);
  if (type->GetKind() == Quill::KIND_FAULT) {
    std::optional<std::string> e = ExceptionClass(type);
    w.Key("exception");
    if (e) {
      w.String(*e);
    } else {
      w.Null();
    }
  }
  if (HasProperties(type)) {
    w.Key("properties");
    w.BeginArray();
    for (auto const* p : OwnProperties(type)) {
      w.BeginObject();
      WritePropertyMembers(w, *p);
      w.EndObject();
    }
    w.EndArray();
  }
  if (type->GetKind() == Quill::KIND_MANAGED) {
    w.Key("methods");
    w.BeginArray();
    for (auto const* m : OwnMethods(type)) WriteMethodJson(w, *m);
    w.EndArray();
  }
  if (type->GetKind() == Quill::KIND_ENUM) {
    auto const* e = static_cast<Quill::EnumType const*>(type);
    w.Key("tags");
    w.BeginArray();
    for (int i = 0; i < e->GetTagCount(); ++i) w.String(e->GetTag(i));
    w.EndArray();
  }
  if (detail) {
    w.Key("baseChain");
    w.BeginArray();
    for (Quill::Type* b : BaseChain(type)) w.String(b->GetName());
    w.EndArray();
    if (HasProperties(type)) {
      w.Key("inheritedProperties");
      w.BeginArray();
      for (InheritedProperty const& p : InheritedProperties(type)) {
        w.BeginObject();
        w.Member("owner", p.owner);
        WritePropertyMembers(w, *p.info);
        w.EndObject();
      }
      w.EndArray();
    }
  }
  w.EndObject();
}

void WriteShowText(std::string& out, Quill::Type const* type) {
  out += type->GetName();
  out += '\n';
  Table head;
  head.Add({"kind", KindName(type->GetKind())});
  head.Add({"wsdl name", OrDash(type->GetWsdlName())});
  head.Add({"module", ModuleOf(type)});
  head.Add({"version", OrDash(type->GetVersionName())});
  std::vector<Quill::Type*> chain = BaseChain(type);
  if (!chain.empty()) {
    std::string bases;
    for (Quill::Type* b : chain) bases += (bases.empty() ? "" : " > ") + std::string(b->GetName());
    head.Add({"base", bases});
  } else if (char const* base = BaseName(type)) {
    head.Add({"base", std::string(base) + " (not bound)"});
  }
  if (auto e = ExceptionClass(type)) head.Add({"exception", *e});
  AddCppRows(head, type);
  head.Print(out, "  ");

  if (HasProperties(type)) {
    auto own = OwnProperties(type);
    out += "\nproperties (" + std::to_string(own.size()) + ")\n";
    Table props;
    if (!own.empty()) props.Add({"name", "type", "flags", "version", "privilege"});
    for (auto const* p : own) {
      props.Add({p->name, TypeRef(*p), FlagNames(p->flags), OrDash(p->version), OrDash(p->privilege)});
    }
    props.Print(out, "  ");
    // Inherited ones by declaring type, nearest base first, names only.
    auto inherited = InheritedProperties(type);
    if (!inherited.empty()) {
      std::vector<std::string> owners;
      std::map<std::string, std::string> names;
      for (auto const& p : inherited) {
        std::string& list = names[p.owner];
        if (list.empty()) owners.push_back(p.owner);
        list += (list.empty() ? "" : ", ") + std::string(p.info->name);
      }
      out += "\ninherited properties (" + std::to_string(inherited.size()) + ")\n";
      Table from;
      for (auto it = owners.rbegin(); it != owners.rend(); ++it) from.Add({*it, names[*it]});
      from.Print(out, "  ");
    }
  }
  if (type->GetKind() == Quill::KIND_MANAGED) {
    auto methods = OwnMethods(type);
    out += "\nmethods (" + std::to_string(methods.size()) + ")\n";
    for (auto const* m : methods) WriteMethodText(out, *m);
  }
  if (type->GetKind() == Quill::KIND_ENUM) {
    auto const* e = static_cast<Quill::EnumType const*>(type);
    out += "\ntags (" + std::to_string(e->GetTagCount()) + ")\n";
    Table tags;
    for (int i = 0; i < e->GetTagCount(); ++i) tags.Add({std::to_string(i), e->GetTag(i)});
    tags.Print(out, "  ");
  }
}

void WriteMethodShowJson(JsonWriter& w, MethodMatch const& m) {
  w.BeginObject();
  w.Member("declaredBy", m.owner->GetName());
  WriteMethodMembers(w, *m.info);
  w.EndObject();
}

void WriteMethodShowText(std::string& out, MethodMatch const& m) {
  out += std::string(m.owner->GetName()) + "." + m.info->name + "\n";
  Table head;
  head.Add({"kind", "method"});
  head.Add({"wsdl name", OrDash(m.info->wsdlName)});
  head.Add({"declared by", m.owner->GetName()});
  head.Add({"stub class", CppClass(m.owner) + "Stub"});
  head.Print(out, "  ");
  out += "\n";
  WriteMethodText(out, *m.info);
}

void WritePrimitiveJson(JsonWriter& w, Quill::Type const* type) {
  w.BeginObject();
  w.MemberOrNull("name", type->GetName());
  w.MemberOrNull("wsdlName", type->GetWsdlName());
  w.Member("kind", KindName(type->GetKind()));
  w.MemberOrNull("version", type->GetVersionName());
  WriteCppMembers(w, type);
  w.EndObject();
}

void WritePrimitiveText(std::string& out, Quill::Type const* type) {
  out += type->GetName();
  out += '\n';
  Table head;
  head.Add({"kind", KindName(type->GetKind())});
  head.Add({"wsdl name", OrDash(type->GetWsdlName())});
  head.Add({"version", OrDash(type->GetVersionName())});
  AddCppRows(head, type);
  head.Print(out, "  ");
}

void WriteListJson(JsonWriter& w, std::vector<Quill::Type*> const& types) {
  w.BeginArray();
  for (Quill::Type const* t : types) {
    w.BeginObject();
    w.MemberOrNull("name", t->GetName());
    w.Member("kind", KindName(t->GetKind()));
    w.Member("module", ModuleOf(t));
    w.MemberOrNull("version", t->GetVersionName());
    w.MemberOrNull("wsdlName", t->GetWsdlName());
    w.EndObject();
  }
  w.EndArray();
}

void WriteListText(std::string& out, std::vector<Quill::Type*> const& types) {
  Table table;
  for (Quill::Type const* t : types) {
    table.Add({t->GetName(), KindName(t->GetKind()), OrDash(t->GetVersionName())});
  }
  table.Print(out);
}

void WriteVersionJson(JsonWriter& w, Quill::Version const* v, bool detail) {
  w.BeginObject();
  w.MemberOrNull("name", v->GetName());
  w.MemberOrNull("namespace", v->GetNamespace()->namespaceName);
  w.Member("kind", VersionKindName(v->GetKind()));
  w.MemberOrNull("wireNamespace", v->GetWireNamespace());
  w.MemberOrNull("wireVersion", v->GetWireVersion());
  w.Key("flags");
  w.UInt(v->GetInfo()->versionFlags);
  w.Key("parents");
  w.BeginArray();
  for (char const* p : DirectParents(v)) w.String(p);
  w.EndArray();
  if (detail) {
    w.Key("succeeds");
    w.BeginArray();
    for (Quill::Version const* a : Ancestors(v)) w.String(a->GetName());
    w.EndArray();
  }
  w.EndObject();
}

void WriteVersionsText(std::string& out, std::vector<Quill::Version const*> const& versions) {
  Table table;
  table.Add({"name", "kind", "wire", "parents"});
  for (Quill::Version const* v : versions) {
    std::string parents;
    for (char const* p : DirectParents(v)) parents += (parents.empty() ? "" : ", ") + std::string(p);
    std::string wire = OrDash(v->GetWireNamespace()) + " " + OrDash(v->GetWireVersion());
    table.Add({v->GetName(), VersionKindName(v->GetKind()), wire, parents.empty() ? "-" : parents});
  }
  table.Print(out);
}

void WriteVersionText(std::string& out, Quill::Version const* v) {
  out += v->GetName();
  out += '\n';
  Table head;
  head.Add({"namespace", OrDash(v->GetNamespace()->namespaceName)});
  head.Add({"kind", VersionKindName(v->GetKind())});
  head.Add({"wire namespace", OrDash(v->GetWireNamespace())});
  head.Add({"wire version", OrDash(v->GetWireVersion())});
  std::string parents;
  for (char const* p : DirectParents(v)) parents += (parents.empty() ? "" : ", ") + std::string(p);
  head.Add({"parents", parents.empty() ? "-" : parents});
  head.Print(out, "  ");
  auto ancestors = Ancestors(v);
  out += "\nsucceeds (" + std::to_string(ancestors.size()) + ")\n";
  for (Quill::Version const* a : ancestors) out += "  " + std::string(a->GetName()) + "\n";
}

void WriteDumpJson(std::string& out) {
  std::vector<Quill::Type*> types = DescribedTypes();
  // One type or version a line: the file stays greppable and diffable.
  JsonWriter w(out, 2);
  w.BeginObject();
  w.Key("format");
  w.UInt(1);
  w.Key("typeCount");
  w.UInt(types.size());
  w.Key("types");
  w.BeginArray();
  for (Quill::Type const* t : types) WriteTypeJson(w, t, false);
  w.EndArray();
  w.Key("versions");
  w.BeginArray();
  for (Quill::Version const* v : Quill::GetVersions()) WriteVersionJson(w, v, false);
  w.EndArray();
  w.EndObject();
  out += '\n';
}

}  // namespace Inspect
