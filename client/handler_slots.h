// The two handler slots of one object, the lock under which handlers run, and the error sink.
//
// Threading contract
// - Handlers run only inside a Guard, one thread at a time per object. The lock is a plain mutex;
//   a thread that is already inside a Guard of these slots (a handler calling back into its own
//   object: a setter, connect, stop, ...) passes straight through a nested Guard instead of locking
//   again. heldByThisThread() tells whether the calling thread is inside such a Guard.
// - The setters take the lock: they wait for a handler call in progress on another thread, so once
//   they return the previous handler is not called again. A handler replaced while it runs lives
//   until that call returns (the slot holds a shared pointer, and a call keeps a copy).
// - callConnection calls the connection handler under the lock in the calling thread and lets its
//   exception reach the caller. deliverMessage / deliverConnection, called inside a Guard, hand an
//   exception to the error sink instead (no caller can take it).
// - The error sink is set once, before any handler can run.
// - Whatever lock user code takes inside a handler (for Python: the interpreter lock) comes after
//   this one, so no thread may wait for this lock while holding such a lock.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "mutex.h"
#include "thread_annotations.h"

namespace movra {

using MessageHandler = std::function<void(const std::string& topic, const std::string& payload)>;
using ConnectionHandler = std::function<void(bool connected, int code)>;

// Receives an error raised by a handler on the dispatch thread, where no caller can take it.
using ErrorSink = std::function<void(std::exception_ptr)>;

class HandlerSlots {
public:
    // To the analysis a Guard holds the slots' lock for its scope, as it does in fact: by itself,
    // or through the outer Guard of this thread that it passes through.
    class SCOPED_CAPABILITY Guard {
    public:
        explicit Guard(HandlerSlots& slots) ACQUIRE(slots.mutex);
        ~Guard() RELEASE();
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        HandlerSlots& slots;
        bool nested = false;
        const Guard* outer = nullptr;  // the enclosing Guard of this thread, of any slots
        friend class HandlerSlots;
    };

    HandlerSlots() = default;
    HandlerSlots(const HandlerSlots&) = delete;
    HandlerSlots& operator=(const HandlerSlots&) = delete;

    void setErrorSink(ErrorSink sink) { errorSink = std::move(sink); }
    void setMessageHandler(MessageHandler handler) EXCLUDES(mutex);
    void setConnectionHandler(ConnectionHandler handler) EXCLUDES(mutex);

    void callConnection(bool connected, int code) EXCLUDES(mutex);
    // Inside a Guard only.
    void deliverMessage(const std::string& topic, const std::string& payload) REQUIRES(mutex);
    void deliverConnection(bool connected, int code) REQUIRES(mutex);

    // Hands an error that no caller can take to the error sink (or to the console without one).
    void reportError(std::exception_ptr error);
    // Writes "handler raised: <what>" to standard error.
    static void reportToConsole(std::exception_ptr error);

    bool heldByThisThread() const;
    // Tells the analysis that this thread is inside a Guard (for a lambda run there); no check.
    void assertHeld() const ASSERT_CAPABILITY(mutex) {}

private:
    Mutex mutex;
    std::shared_ptr<const MessageHandler> messageHandler GUARDED_BY(mutex);
    std::shared_ptr<const ConnectionHandler> connectionHandler GUARDED_BY(mutex);
    ErrorSink errorSink;
};

}  // namespace movra
