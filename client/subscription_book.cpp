// The book of subscriptions made since init.
#include "subscription_book.h"

#include <algorithm>

namespace movra {

void SubscriptionBook::granted(std::string_view topic, int qos) {
    MutexLock lock(mutex);
    auto found = std::find_if(book.begin(), book.end(),
                              [&](const Entry& entry) { return entry.topic == topic; });
    if (found != book.end())
        found->qos = qos;
    else
        book.push_back({std::string(topic), qos});
}

void SubscriptionBook::removed(std::string_view topic) {
    MutexLock lock(mutex);
    std::erase_if(book, [&](const Entry& entry) { return entry.topic == topic; });
}

void SubscriptionBook::clear() {
    MutexLock lock(mutex);
    book.clear();
}

std::vector<SubscriptionBook::Entry> SubscriptionBook::entries() const {
    MutexLock lock(mutex);
    return book;
}

}  // namespace movra
