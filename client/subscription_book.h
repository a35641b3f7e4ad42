// The subscriptions an SDK has made since init, to renew them on a broker that kept no session.
//
// A subscribe that the broker granted is written down (a later one of the same filter replaces its
// QoS); an unsubscribe strikes the filter off, whatever the broker answered, since the caller no
// longer wants it. init empties the book.
//
// Threading contract: every member may be called from any thread; one internal lock, held for
// copies only, never across a library call.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "mutex.h"
#include "thread_annotations.h"

namespace movra {

class SubscriptionBook {
public:
    struct Entry {
        std::string topic;
        int qos = 0;
    };

    void granted(std::string_view topic, int qos);
    void removed(std::string_view topic);
    void clear();
    // In the order they were first made.
    std::vector<Entry> entries() const;

private:
    mutable Mutex mutex;
    std::vector<Entry> book GUARDED_BY(mutex);
};

}  // namespace movra
