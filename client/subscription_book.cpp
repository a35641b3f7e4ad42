// The book of subscriptions made since init.
#include "subscription_book.h"

#include <algorithm>

namespace movra {

void SubscriptionBook::granted(std::string_view topic, int qos) {
    std::lock_guard lock(mutex);
    auto found = std::find_if(book.begin(), book.end(),
                              [&](const Entry& entry) { return entry.topic == topic; });
    if (found != book.end())
        found->qos = qos;
    else
        book.push_back({std::string(topic), qos});
}

void SubscriptionBook::removed(std::string_view topic) {
    std::lock_guard lock(mutex);
    std::erase_if(book, [&](const Entry& entry) { return entry.topic == topic; });
}

void SubscriptionBook::clear() {
    std::lock_guard lock(mutex);
    book.clear();
}

std::vector<SubscriptionBook::Entry> SubscriptionBook::entries() const {
    std::lock_guard lock(mutex);
    return book;
}

}  // namespace movra
