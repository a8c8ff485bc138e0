// Output of tarn-inspect: aligned text for people, JSON for scripts. The JSON
// shapes are a contract (docs/inspect.md); change them only by adding members.
#pragma once

#include <string>
#include <vector>

#include "Catalog.h"
#include "Json.h"
#include "quill/Registry.h"
#include "quill/Type.h"

namespace Inspect {

// Rows of cells printed in columns two spaces apart; the last column is not padded.
class Table {
 public:
  void Add(std::vector<std::string> row) { _rows.push_back(std::move(row)); }
  bool Empty() const noexcept { return _rows.empty(); }
  void Print(std::string& out, std::string const& indent = "") const;

 private:
  std::vector<std::vector<std::string>> _rows;
};

// One type as a JSON object: the members that `dump --json` documents; with
// `detail`, also the base chain and the inherited properties (show --json).
void WriteTypeJson(JsonWriter& w, Quill::Type const* type, bool detail);
void WriteShowText(std::string& out, Quill::Type const* type);

// One method with the type that declares it (show TYPE.METHOD): its
// parameters, result, faults, privileges and version.
void WriteMethodShowJson(JsonWriter& w, MethodMatch const& m);
void WriteMethodShowText(std::string& out, MethodMatch const& m);

// A primitive (or "any"): its names and the C++ class that holds it.
void WritePrimitiveJson(JsonWriter& w, Quill::Type const* type);
void WritePrimitiveText(std::string& out, Quill::Type const* type);

// The summary rows of `list`.
void WriteListJson(JsonWriter& w, std::vector<Quill::Type*> const& types);
void WriteListText(std::string& out, std::vector<Quill::Type*> const& types);

void WriteVersionJson(JsonWriter& w, Quill::Version const* v, bool detail);
void WriteVersionsText(std::string& out, std::vector<Quill::Version const*> const& versions);
void WriteVersionText(std::string& out, Quill::Version const* v);

// The whole registry: every described type and the version table.
void WriteDumpJson(std::string& out);

}  // namespace Inspect
