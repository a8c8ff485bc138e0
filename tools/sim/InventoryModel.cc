// The model file of tarn-sim --model: datacenters with their networks, clusters
// and standalone hosts, by name and count (docs/simulator.md). Unknown keys are
// refused rather than ignored, so that a misspelt count does not silently
// become zero.
#include <simdjson.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "Inventory.h"
#include "basalt/Exception.h"

namespace Tarn::Sim {

namespace {

[[noreturn]] void Bad(std::string const& where, std::string const& what) {
  throw Basalt::Exception("tarn-sim: model " + where + ": " + what);
}

simdjson::dom::object Object(simdjson::dom::element e, std::string const& where,
                             std::initializer_list<std::string_view> keys) {
  simdjson::dom::object o;
  if (e.get(o) != simdjson::SUCCESS) Bad(where, "an object is wanted");
  for (auto field : o) {
    bool known = false;
    for (std::string_view k : keys) known = known || field.key == k;
    if (!known) Bad(where, "unknown key '" + std::string(field.key) + "'");
  }
  return o;
}

std::string Name(simdjson::dom::object o, std::string const& where) {
  std::string_view name;
  if (o["name"].get(name) != simdjson::SUCCESS) Bad(where, "a string \"name\" is wanted");
  if (name.empty() || name.size() > 80 || name.find('/') != std::string_view::npos)
    Bad(where, "'" + std::string(name) + "' is not a name (1 to 80 characters, no '/')");
  return std::string(name);
}

// A count of at most `most`; absent: `absent`.
unsigned Count(simdjson::dom::object o, char const* key, std::string const& where, unsigned absent,
               std::uint64_t most) {
  simdjson::dom::element e;
  if (o[key].get(e) != simdjson::SUCCESS) return absent;
  std::uint64_t n = 0;
  if (e.get(n) != simdjson::SUCCESS || n > most)
    Bad(where, std::string("\"") + key + "\" wants a whole number from 0 to " + std::to_string(most));
  return unsigned(n);
}

// The elements of the list under `key`; none when it is absent.
std::vector<simdjson::dom::element> List(simdjson::dom::object o, char const* key, std::string const& where) {
  std::vector<simdjson::dom::element> out;
  simdjson::dom::element e;
  if (o[key].get(e) != simdjson::SUCCESS) return out;
  simdjson::dom::array a;
  if (e.get(a) != simdjson::SUCCESS) Bad(where, std::string("\"") + key + "\" wants a list");
  for (simdjson::dom::element x : a) out.push_back(x);
  return out;
}

}  // namespace

Model Model::FromJson(std::string_view json) {
  simdjson::dom::parser parser;
  simdjson::padded_string text(json);
  simdjson::dom::element root;
  if (auto error = parser.parse(text).get(root)) Bad("file", simdjson::error_message(error));
  simdjson::dom::object top = Object(root, "file", {"datacenters"});
  Model model;
  std::size_t machines = 0;
  std::size_t d = 0;
  for (simdjson::dom::element de : List(top, "datacenters", "file")) {
    std::string where = "datacenter " + std::to_string(d++);
    simdjson::dom::object o = Object(de, where, {"name", "networks", "clusters", "standalone"});
    Datacenter dc;
    dc.name = Name(o, where);
    where = "datacenter '" + dc.name + "'";
    for (simdjson::dom::element ne : List(o, "networks", where)) {
      std::string_view name;
      if (ne.get(name) != simdjson::SUCCESS || name.empty()) Bad(where, "a network is named by a string");
      dc.networks.emplace_back(name);
    }
    for (simdjson::dom::element ce : List(o, "clusters", where)) {
      simdjson::dom::object co = Object(ce, where + " cluster", {"name", "hosts", "vms", "datastores"});
      Cluster c;
      c.name = Name(co, where + " cluster");
      std::string at = "cluster '" + c.name + "'";
      c.hosts = Count(co, "hosts", at, 1, 1000);
      c.vms = Count(co, "vms", at, 0, 100000);
      c.datastores = Count(co, "datastores", at, 1, 100);
      if (c.vms > 0 && c.datastores == 0) Bad(at, "machines need a datastore");
      machines += std::size_t(c.hosts) * c.vms;
      dc.clusters.push_back(std::move(c));
    }
    for (simdjson::dom::element he : List(o, "standalone", where)) {
      simdjson::dom::object ho = Object(he, where + " standalone host", {"name", "vms"});
      Standalone h;
      h.name = Name(ho, where + " standalone host");
      h.vms = Count(ho, "vms", "standalone host '" + h.name + "'", 0, 100000);
      machines += h.vms;
      dc.standalone.push_back(std::move(h));
    }
    model.datacenters.push_back(std::move(dc));
  }
  if (model.datacenters.empty()) Bad("file", "no datacenters");
  if (machines > 1000000) Bad("file", "more than 1,000,000 machines");
  return model;
}

}  // namespace Tarn::Sim
