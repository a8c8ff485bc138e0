// What a server hands its decoded calls to. A LocalAdapter is one; a program
// may serve anything else that carries calls out: a target that forwards to
// another server, one that answers reads from a cache, a test double.
//
// InvokeThen carries out one call and passes its answer to `done` exactly
// once: on the calling thread before it returns, or later from whichever
// thread completes a call the target deferred. A failure before the call
// starts (the target shut down, no method) may be thrown instead; `done` is
// then never called.
//
// MayBlock tells the server whether a call may hold the thread that makes it
// for long (it waits on a lock held by others, on I/O, on another call). A
// server makes the calls that may not block on the thread that read them and
// moves the others to a pool of workers, so an answer that is ready at once
// costs no hand-off between threads. A target that cannot tell says true.
#pragma once

#include <functional>
#include <memory>

#include "basalt/Exception.h"
#include "quill/Stub.h"
#include "quill/Values.h"

namespace Quill {

class CallTarget {
 public:
  using Done = std::function<void(Basalt::Ref<Any> result, std::unique_ptr<Basalt::Exception> error)>;

  virtual ~CallTarget() = default;

  virtual bool MayBlock(MoRef const* target, ManagedMethod const* method) const = 0;
  virtual void InvokeThen(MoRef* target, ManagedMethod* method, ArgVector& args, RequestContext* context,
                          Done done) = 0;
};

}  // namespace Quill
