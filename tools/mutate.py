#!/usr/bin/env python3
"""Deliberate faults, one at a time: each is applied to a source file, the test programs that
should notice it are built and run, and the file is put back. Prints one row per fault with
the tests that failed on it; a fault no test notices is a hole in the suite.

    tools/mutate.py                      # every fault, build tree build/dev
    tools/mutate.py --only R1 C3         # some of them
    tools/mutate.py --list               # what each one does
    tools/mutate.py --build build/asan   # another configured tree

The tree must be configured (cmake --preset dev). The file is restored from a copy taken
before the edit, also when the run is interrupted; a fault whose text is not found exactly
once in its file is reported and skipped, so that a stale entry cannot pass silently.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# The test programs each part's faults are tried against, and the ctest names of their tests.
RUNTIME = (["quill_tests", "tarn-types-tests", "quill-wire-tests"],
           r"^quill\.|^(Enumerations|Faults|DataObjects|Stubs|Dispatch|Skeletons|CatalogueWalk|BadInputCatalogue"
           r"|Wire[A-Za-z]*)\.")
CODEC = (["quill-wire-tests"], r"^Wire[A-Za-z]*\.")
SERVER = (["tarn-http-server-tests"], r"^http\.(HttpServer|HttpHardening|FileLimit|RequestRules|Server[A-Za-z]*)\.")
QUERY = (["tarn-query-tests"], r"^query\.")

# (id, what it breaks, file, text, replacement, (targets, test regex))
MUTATIONS = [
    ("R1", "property paths order by the byte flipped", "quill/src/Values.cc",
     "static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]) ? -1 : 1",
     "static_cast<unsigned char>(a[i]) > static_cast<unsigned char>(b[i]) ? -1 : 1", RUNTIME),
    ("R2", "a path is a prefix of any longer path, component break or not", "quill/src/Values.cc",
     "return o.size() == _s.size() || _s.empty() || IsBreak(o[_s.size()]);", "return true;", RUNTIME),
    ("R3", "strict comparison takes an unset optional as equal to a set one", "quill/src/Compare.cc",
     "if (!theirs) return lenient && (flags & F_OPTIONAL);", "if (!theirs) return (flags & F_OPTIONAL);",
     RUNTIME),
    ("R4", "leap years lose the century rule", "quill/src/DateTime.cc",
     "return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;", "return y % 4 == 0;", RUNTIME),
    ("R5", "a data type is no longer a subtype of itself (off by one up the chain)", "quill/src/Type.cc",
     "for (DataObjectType const* t = this; t; t = t->GetBaseType())",
     "for (DataObjectType const* t = GetBaseType(); t; t = t->GetBaseType())", RUNTIME),
    ("R6", "enum values to tags stop one short", "quill/src/Array.cc",
     "for (std::size_t i = 0; i < v.size(); ++i) tags[i] = type->GetTag(v[i]);",
     "for (std::size_t i = 0; i + 1 < v.size(); ++i) tags[i] = type->GetTag(v[i]);", RUNTIME),
    ("R7", "data property lookup by index lets the index one past the end through (bounds check off by one)",
     "quill/src/Type.cc",
     "DataProperty const& DataObjectType::GetProperty(std::uint32_t i) const {\n  Table const* t = GetTable();\n"
     "  if (i >= t->props.size())",
     "DataProperty const& DataObjectType::GetProperty(std::uint32_t i) const {\n  Table const* t = GetTable();\n"
     "  if (i > t->props.size())", RUNTIME),
    ("R8", "unsetting a field through its layout leaves it set (broken optional reset)", "quill/src/Fields.cc",
     "Visit(l.fields[i], self, [&](auto& field) { Access::Unset(field); });",
     "Visit(l.fields[i], self, [&](auto&) {});", RUNTIME),
    ("R9", "a type whose base's module is not bound yet is built without the base's properties (module order)",
     "quill/src/Type.cc",
     "    DataObjectType const* base = GetBaseType();\n    if (!base) {\n      delete table;\n"
     "      Detail::ThrowInvalidType(GetName(), std::string(\"base type not bound: \") + _desc->base->name);\n"
     "    }\n    table->props = base->GetTable()->props;",
     "    DataObjectType const* base = GetBaseType();\n    if (base) table->props = base->GetTable()->props;",
     RUNTIME),
    ("C1", "integer range check dropped (a byte takes 200)", "quill/wire/src/TextForms.cc",
     "  if (v < lo || v > hi) {\n", "  if (v < lo) {\n", CODEC),
    ("C2", "'<' in text written unescaped", "quill/src/Text.cc",
     'rep = "&lt;";', 'rep = "<";', CODEC),
    ("C3", "XML depth limit off by one", "quill/wire/src/XmlReader.cc",
     "if (_depth >= lim.maxDepth) Err(", "if (_depth > lim.maxDepth) Err(", CODEC),
    ("C4", "JSON document size limit dropped", "quill/wire/src/JsonReader.cc",
     "if (json.size() > lim.maxBytes) {", "if (false) {", CODEC),
    ("C5", "boolean text '1' no longer true", "quill/wire/src/TextForms.cc",
     'if (t == "true" || t == "1") {', 'if (t == "true") {', CODEC),
    ("C6", "XML string length limit counts only what was read before", "quill/wire/src/XmlReader.cc",
     "if (f.text.size() + len > _opt->limits.maxStringBytes) {",
     "if (f.text.size() > _opt->limits.maxStringBytes) {", CODEC),
    ("S1", "cookie names compared untrimmed (broken cookie parse)", "quill/http/server/RequestRules.cc",
     "if (Trim(pair.substr(0, eq)) == name)", "if (pair.substr(0, eq) == name)", SERVER),
    ("S2", "login throttle blocks one failure late", "quill/http/server/RequestRules.cc",
     "if (++e.failures >= _limits.maxFailures) {", "if (++e.failures > _limits.maxFailures) {", SERVER),
    ("S3", "session store limit dropped", "quill/http/server/SessionStore.cc",
     "if (_sessions.size() >= _options.maxSessions && !_sessions.empty()) {", "if (false) {", SERVER),
    ("S4", "calls-in-flight limit dropped", "quill/http/server/HttpServer.cc",
     "if (n >= options.maxCallsInFlight) return false;", "", SERVER),
    ("S5", "session cookie over TLS loses Secure", "quill/http/server/SessionStore.cc",
     'if (_options.secure) cookie += "; Secure";', "", SERVER),
    ("S6", "a call answered after its connection was asked to close still offers keep-alive",
     "quill/http/server/Connection.h", "keepAlive && !self->_closing && !self->_host.IsStopping()",
     "keepAlive && !self->_host.IsStopping()", SERVER),
    ("S7", "Connection: close ignored", "quill/http/server/Connection.h",
     "_keepAlive = _request.keep_alive() && !_closing", "_keepAlive = !_closing", SERVER),
    ("S8", "an answered call is never given back to the calls-in-flight count", "quill/http/server/Connection.h",
     "                          self->_host.LeaveCall();\n", "", SERVER),
    ("S9", "an answer is written without a write deadline", "quill/http/server/Connection.h",
     "    Watch(Watching::Write, _limits.writeTimeout);\n", "", SERVER),
    ("S10", "a timer that fires before the moved deadline ends the read at once", "quill/http/server/Connection.h",
     "if (std::chrono::steady_clock::now() < _deadline) return SetTimer();", "", SERVER),
    ("Q1", "continued results drop the token one page early (paging off by one)",
     "quill/query/src/QueryService.cc",
     "  if (k->next < k->targets.size()) {\n    std::lock_guard lock(mu);\n    c.continuations.emplace_back(token",
     "  if (k->next + 1 < k->targets.size()) {\n    std::lock_guard lock(mu);\n    c.continuations.emplace_back(token",
     QUERY),
    ("Q2", "a wait's version is not checked against the collector's last (a stale version is answered)",
     "quill/query/src/QueryService.cc", "} else if (*version != c->issued) {", "} else if (false) {", QUERY),
    ("Q3", "a path read again with the value it had is reported as changed (a wait answers without a change)",
     "quill/query/src/QueryService.cc", "    if (same) continue;\n", "", QUERY),
    ("Q4", "a selection reports objects of its own type only, not of types derived from it",
     "quill/query/src/QueryService.cc", "if (type->IsSubtypeOf(s.type)) return true;",
     "if (type == s.type) return true;", QUERY),
]

_restore = []


def _restore_file(saved, path):
    # Copied without its old time stamp: the build must see the file as newer than the objects
    # built from the broken text, or it would keep them.
    shutil.copyfile(saved, path)


def _put_back(*_):
    while _restore:
        path, saved = _restore.pop()
        _restore_file(saved, path)
    sys.exit(130)


def _run(cmd, log):
    with open(log, "a") as f:
        f.write("$ " + " ".join(cmd) + "\n")
        f.flush()
        return subprocess.run(cmd, cwd=ROOT, stdout=f, stderr=subprocess.STDOUT).returncode


def _failed_tests(build):
    path = os.path.join(build, "Testing", "Temporary", "LastTestsFailed.log")
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [line.strip().split(":", 1)[1] for line in f if ":" in line]


def try_one(m, build, log, jobs):
    mid, what, rel, text, repl, (targets, regex) = m
    path = os.path.join(ROOT, rel)
    with open(path) as f:
        source = f.read()
    if source.count(text) != 1:
        return mid, what, f"NOT APPLIED: text found {source.count(text)} times in {rel}"
    fd, saved = tempfile.mkstemp(prefix="mutate-")
    os.close(fd)
    shutil.copyfile(path, saved)
    _restore.append((path, saved))
    try:
        with open(path, "w") as f:
            f.write(source.replace(text, repl))
        if _run(["cmake", "--build", build, "--target", *targets, f"-j{jobs}"], log) != 0:
            return mid, what, "does not build"
        stale = os.path.join(build, "Testing", "Temporary", "LastTestsFailed.log")
        if os.path.exists(stale):
            os.remove(stale)
        rc = _run(["ctest", "--test-dir", build, "-R", regex, f"-j{jobs}", "--timeout", "300"], log)
        failed = _failed_tests(build)
        if rc != 0 and not failed:
            return mid, what, "ctest failed without naming a test (see the log)"
        return mid, what, ", ".join(failed) if failed else "none (survived)"
    finally:
        if (path, saved) in _restore:
            _restore.remove((path, saved))
            _restore_file(saved, path)
            os.remove(saved)
            # Rebuilt at once: a shared library built from the broken text would otherwise stay
            # broken for the next fault's tests in other programs that load it.
            _run(["cmake", "--build", build, "--target", *targets, f"-j{jobs}"], log)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "dev"))
    ap.add_argument("--only", nargs="*", help="ids of the faults to try")
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--log", default=os.path.join(tempfile.gettempdir(), "mutate.log"))
    ap.add_argument("-j", "--jobs", type=int, default=2)
    args = ap.parse_args()
    chosen = [m for m in MUTATIONS if not args.only or m[0] in args.only]
    if args.list:
        for m in chosen:
            print(f"{m[0]:3} {m[2]}: {m[1]}")
        return 0
    signal.signal(signal.SIGINT, _put_back)
    signal.signal(signal.SIGTERM, _put_back)
    print("| id | fault | tests that fail |\n|---|---|---|", flush=True)
    survived = 0
    for m in chosen:
        mid, what, result = try_one(m, args.build, args.log, args.jobs)
        survived += not result or result.startswith(("none", "NOT", "does not"))
        print(f"| {mid} | {what} | {result} |", flush=True)
    return 1 if survived else 0


if __name__ == "__main__":
    sys.exit(main())
