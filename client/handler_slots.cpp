#include "handler_slots.h"

#include <cxxabi.h>

#include <utility>

#include "console.h"

namespace movra {
namespace {

// The innermost Guard that this thread holds; each links to the one it is nested in, so a thread
// inside handlers of several objects knows all of them.
thread_local const HandlerSlots::Guard* innermostGuard = nullptr;

}  // namespace

// The lock is taken only by the outermost Guard of this thread, which the analysis cannot follow.
HandlerSlots::Guard::Guard(HandlerSlots& s) NO_THREAD_SAFETY_ANALYSIS : slots(s) {
    if (slots.heldByThisThread()) {
        nested = true;
        return;
    }
    slots.mutex.lock();
    outer = innermostGuard;
    innermostGuard = this;
}

HandlerSlots::Guard::~Guard() NO_THREAD_SAFETY_ANALYSIS {
    if (nested) return;
    innermostGuard = outer;
    slots.mutex.unlock();
}

bool HandlerSlots::heldByThisThread() const {
    for (const Guard* guard = innermostGuard; guard != nullptr; guard = guard->outer)
        if (&guard->slots == this) return true;
    return false;
}

void HandlerSlots::setMessageHandler(MessageHandler handler) {
    auto next = handler ? std::make_shared<const MessageHandler>(std::move(handler)) : nullptr;
    Guard guard(*this);
    messageHandler.swap(next);
    // The previous handler is released here, still under the lock.
}

void HandlerSlots::setConnectionHandler(ConnectionHandler handler) {
    auto next = handler ? std::make_shared<const ConnectionHandler>(std::move(handler)) : nullptr;
    Guard guard(*this);
    connectionHandler.swap(next);
}

void HandlerSlots::callConnection(bool connected, int code) {
    Guard guard(*this);
    auto handler = connectionHandler;
    if (handler) (*handler)(connected, code);
}

void HandlerSlots::deliverMessage(const std::string& topic, const std::string& payload) {
    try {
        auto handler = messageHandler;
        if (handler) (*handler)(topic, payload);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        reportError(std::current_exception());
    }
}

void HandlerSlots::deliverConnection(bool connected, int code) {
    try {
        auto handler = connectionHandler;
        if (handler) (*handler)(connected, code);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        reportError(std::current_exception());
    }
}

void HandlerSlots::reportError(std::exception_ptr error) {
    try {
        if (errorSink) {
            errorSink(error);
            return;
        }
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
    }
    reportToConsole(std::move(error));
}

void HandlerSlots::reportToConsole(std::exception_ptr error) {
    try {
        std::rethrow_exception(std::move(error));
    } catch (const std::exception& e) {
        console::err(std::string("handler raised: ") + e.what());
    } catch (...) {
        console::err("handler raised an unknown error");
    }
}

}  // namespace movra
