// Stand-ins for what the server's parts meet at their edges: an exchange that
// records what was answered, and a call target that answers from a table,
// records where each call was made and can hold a call to answer it later.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Exchange.h"
#include "quill/CallTarget.h"
#include "quill/Quill.h"

namespace tarn_http_test {

namespace parts = Quill::HttpServerParts;

class FakeExchange : public parts::Exchange {
 public:
  FakeExchange(boost::beast::http::verb method, std::string target, std::string body = {}) {
    request.method(method);
    request.target(target);
    request.version(11);
    request.body() = std::move(body);
    auto parsed =
        Quill::HttpServerRules::ParseTarget(std::string_view(request.target().data(), request.target().size()));
    if (parsed) this->target = *parsed;
  }

  parts::Request& GetRequest() override { return request; }
  Quill::HttpServerRules::Target const& GetTarget() const override { return target; }
  std::string const& GetPeer() const override { return peer; }
  bool IsTls() const override { return false; }
  void Send(parts::Response&& res) override {
    ++sent;
    status = res.result_int();
    body = res.body();
    allow = std::string(res[boost::beast::http::field::allow]);
  }
  void Send(parts::DocumentResponse&& res, bool keepLength) override {
    ++sent;
    status = res.result_int();
    headLength = keepLength;
    auto const& b = res.body();
    body = std::string(b.head) + b.middle + std::string(b.tail) + b.end;
    contentLength = std::string(res[boost::beast::http::field::content_length]);
    contentEncoding = std::string(res[boost::beast::http::field::content_encoding]);
  }
  bool BeginCall() override { return roomForCalls; }
  parts::AnswerSink CallSink() override {
    return [this](parts::Answer&& a) {
      ++sent;
      status = static_cast<unsigned>(a.status);
      body = std::move(a.body);
    };
  }
  std::shared_ptr<void> TakeBodyShare() override { return nullptr; }

  parts::Request request;
  Quill::HttpServerRules::Target target;
  std::string peer = "127.0.0.1";
  bool roomForCalls = true;
  int sent = 0;
  unsigned status = 0;
  std::string body, allow, contentLength, contentEncoding;
  bool headLength = false;
};

// Answers by method name: the info property with `info`, Execute with its words joined
// (or a fault for none), anything else refused before it starts. Methods in
// `blocking` say they may block; those in `held` are answered only by Release.
class TableTarget : public Quill::CallTarget {
 public:
  bool MayBlock(Quill::MoRef const*, Quill::ManagedMethod const* method) const override {
    return blocking.count(method->GetName()) > 0;
  }

  void InvokeThen(Quill::MoRef*, Quill::ManagedMethod* method, Quill::ArgVector& args, Quill::RequestContext* context,
                  Done done) override {
    std::string name = method->GetName();
    {
      std::lock_guard<std::mutex> lock(mutex);
      threads[name] = std::this_thread::get_id();
      contexts.push_back(context);
      ++calls;
    }
    if (name == "info") return done(info, nullptr);
    if (name != "Execute") {
      Basalt::Ref<Quill::Fault::NotSupported> refused(new Quill::Fault::NotSupported());
      refused->Throw();
    }
    if (!context->Contains("user")) context->Set("user", new Quill::Primitive<std::string>("someone"));
    auto* words = static_cast<Quill::Array<std::string>*>(args.at(0).get());
    if (!words || words->empty()) {
      try {
        Basalt::Ref<Quill::Fault::InvalidArgument> fault(new Quill::Fault::InvalidArgument());
        fault->Throw();
      } catch (Basalt::Exception const& e) {
        return done(nullptr, std::unique_ptr<Basalt::Exception>(e.Clone()));
      }
    }
    std::string joined;
    for (auto const& w : words->GetValues()) joined += (joined.empty() ? "" : ",") + w;
    if (held.count(name)) {
      std::lock_guard<std::mutex> lock(mutex);
      waiting.push_back([done = std::move(done), joined] { done(new Quill::Primitive<std::string>(joined), nullptr); });
      return;
    }
    done(new Quill::Primitive<std::string>(joined), nullptr);
  }

  // Answers the held calls, on this thread.
  void Release() {
    std::vector<std::function<void()>> now;
    {
      std::lock_guard<std::mutex> lock(mutex);
      now.swap(waiting);
    }
    for (auto& f : now) f();
  }

  std::set<std::string> blocking, held;
  Basalt::Ref<Quill::Any> info;
  std::mutex mutex;
  std::map<std::string, std::thread::id> threads;
  std::vector<Quill::RequestContext*> contexts;
  int calls = 0;
  std::vector<std::function<void()>> waiting;
};

}  // namespace tarn_http_test
