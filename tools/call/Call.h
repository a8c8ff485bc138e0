// tarn-call: one call of one method of a server, from the command line.
//
//   tarn-call [options] URL TYPE:ID METHOD [name=value ...]
//   tarn-call [options] --user NAME --session FILE URL login
//   tarn-call [options] --session FILE logout [URL]
//   tarn-call --list TYPE
//   tarn-call [options] URL retrieve TYPE ROOT [PATH ...]
//   tarn-call [options] [--count N] [--seconds N] URL watch TYPE ROOT [PATH ...]
//
// Queries (the query service's root collector): `retrieve` prints, as one JSON
// array, every object of TYPE (or a subtype) under ROOT (TYPE:ID, a folder,
// datacenter, compute resource, pool, host or view) with the PATHs asked for
// (none: every property): {"obj": "TYPE:ID", "values": {PATH: value, ...},
// "faults": {PATH: {fault}, ...}}, every page followed. `watch` creates a
// watch of the same objects for the session and prints each change as one JSON
// line, {"version": V, "kind": "enter"|"modify"|"leave", "obj": "TYPE:ID",
// "changes": [{"path": P, "op": "assign"|"add"|"remove", "value": v}]}, the
// objects' whole content first, until SIGINT, N lines (--count) or N seconds
// (--seconds); then it removes the watch.
//
// Sessions: with --user NAME the program logs in before the call, through the
// login method of the session manager that the service content names
// (ServiceInstance:ServiceInstance retrieveContent -> sessionManager -> login);
// the password comes from the environment variable TARN_PASSWORD or, when
// that is unset and a terminal is at hand, from a prompt that does not echo;
// never from the command line. With --session FILE the session's cookie is
// kept in FILE (created mode 0600, with the URL it belongs to), so that the
// next invocation with the same FILE continues the session without logging in
// again; `logout` ends the session and removes the file. A session that the
// server no longer knows is replaced by a new login when --user is given.
//
// --header 'Name: value' (repeatable) adds a request header to every call;
// --json-arg NAME=FILE (or --json) and --xml-arg NAME=FILE read the whole value
// of parameter NAME from FILE ("-": standard input), as JSON or as XML of the
// parameter's type (--xml alone stays the switch for XML output).
//
// TYPE is a managed type's sedge name (tarn.Folder) or WSDL name (Folder);
// METHOD a method's name or WSDL name, or a property's name (a read). Each
// argument is `parameter=value`: a value that starts with '{' or '[' is JSON
// of the parameter's type (docs/wire-format.md), a managed-object reference
// is `Type:id`, anything else is plain text read as the parameter's type
// (numbers, true/false, enumeration tags, strings as they are).
//
// Exit status: 0 the call returned (its result on stdout, JSON or with --xml
// XML); 1 the server answered with a fault (its class and properties on
// stderr); 2 a usage error (one line on stderr); 3 the call failed in
// transport (cannot connect, timed out, TLS, HTTP status, bad response).
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "basalt/Object.h"
#include "quill/Any.h"
#include "quill/Registry.h"
#include "quill/Stub.h"
#include "quill/Type.h"
#include "quill/TypeInfo.h"

namespace TarnCall {

enum Exit : int { kOk = 0, kFault = 1, kUsage = 2, kFailed = 3 };

// Thrown for what the user typed wrong; the message is the whole line.
struct UsageError {
  std::string message;
};

struct Options {
  std::string url;
  std::string target;  // TYPE:ID
  std::string method;
  std::vector<std::string> arguments;  // name=value
  std::string list;                    // --list TYPE
  std::string apiVersion;              // --version-api
  double timeoutSeconds = 60;
  bool xml = false;
  bool insecure = false;
  bool log = false;
  std::string caFile;
  std::string pin;
  std::string user;         // --user
  std::string sessionFile;  // --session
  std::string serviceInstance = "ServiceInstance";
  std::vector<std::string> headers;    // --header
  std::vector<std::string> jsonFiles;  // --json-arg NAME=FILE
  std::vector<std::string> xmlFiles;   // --xml-arg NAME=FILE
  long count = 0;                      // watch: stop after this many lines
  double seconds = 0;                  // watch: stop after this many seconds
  bool help = false;
  std::string helpText;
};

// CLI11 underneath. Throws UsageError; sets help (and helpText) for --help.
Options ParseCommandLine(int argc, char const* const* argv);

// A managed type by sedge or WSDL name; UsageError when there is none.
Quill::ManagedObjectType* FindManagedType(std::string_view name);
// A method by name or WSDL name, or a property's reader; UsageError else.
Quill::ManagedMethod* FindOperation(Quill::ManagedObjectType* type, std::string_view name);
// The value of one parameter from its text, as described above; UsageError
// naming the parameter when the text is not a value of its type.
Basalt::Ref<Quill::Any> ConvertArgument(Quill::PropertyInfo const& parameter, std::string const& text);
// One slot per parameter from name=value words; UsageError for an unknown or
// repeated name or a word without '='.
Quill::ArgVector BuildArguments(Quill::ManagedMethod* method, std::vector<std::string> const& words);
// Fills the slots named by NAME=FILE words with the value each FILE holds, as
// JSON or XML of the parameter's type; UsageError for an unknown or repeated
// name, an unreadable file or a value that is not of the parameter's type.
void ReadFileArguments(Quill::ManagedMethod* method, std::vector<std::string> const& words, bool xml,
                       Quill::ArgVector& args);

// The session file: the URL it belongs to and the session cookie's value.
struct Session {
  std::string url;
  std::string cookie;
};
// Empty when the file does not exist; UsageError when it cannot be read, is
// not a session file, or can be read by others than its owner.
Session ReadSession(std::string const& path);
// Replaces the file at once (a new file of mode 0600 renamed over it).
void WriteSession(std::string const& path, Session const& session);

// The methods and properties of `type` and its bases, one per line:
//   createFolder (CreateFolder) name: string -> tarn.Folder
void ListOperations(Quill::ManagedObjectType* type, std::ostream& out);

// The whole program; what it prints goes to `out` and `err`.
int Run(int argc, char const* const* argv, std::ostream& out, std::ostream& err);

}  // namespace TarnCall
