#include "directory/directory_client.h"

namespace lumo {

DirectoryClient::ListResult DirectoryClient::fetchList(std::string_view baseUrl)
{
    ListResult result;
    const HttpReply reply = http_.get(listUrl(baseUrl), InteractiveLimits);
    if (!reply.opened) {
        result.status = reply.tooLarge ? ListStatus::TooLarge : ListStatus::CannotOpen;
        return result;
    }
    result.reply = parseListReply(reply.body);
    result.status = result.reply.valid ? ListStatus::Listed : ListStatus::NotAList;
    return result;
}

DirectoryClient::AddStatus DirectoryClient::addGroup(std::string_view baseUrl, std::string_view gbkGroupName,
                                                     Ipv4 ownAddress)
{
    const HttpReply reply = http_.get(addUrl(baseUrl, gbkGroupName, ownAddress), InteractiveLimits);
    if (!reply.opened) return AddStatus::CannotOpen;
    if (!isAddAccepted(reply.body)) return AddStatus::Refused;
    std::lock_guard lock(mutex_);
    groupRegistered_ = true;
    registeredBaseUrl_ = baseUrl;
    registeredName_ = gbkGroupName;
    registeredAddress_ = ownAddress;
    return AddStatus::Registered;
}

DirectoryClient::AddStatus DirectoryClient::renewRegistration()
{
    std::string url;
    {
        std::lock_guard lock(mutex_);
        if (!groupRegistered_ || removalSent_) return AddStatus::Refused;
        url = addUrl(registeredBaseUrl_, registeredName_, registeredAddress_);
    }
    const HttpReply reply = http_.get(url, InteractiveLimits);
    if (!reply.opened) return AddStatus::CannotOpen;
    return isAddAccepted(reply.body) ? AddStatus::Registered : AddStatus::Refused;
}

bool DirectoryClient::groupRegistered() const
{
    std::lock_guard lock(mutex_);
    return groupRegistered_;
}

void DirectoryClient::removeRegistration()
{
    std::string url;
    {
        std::lock_guard lock(mutex_);
        if (!groupRegistered_ || removalSent_) return;
        removalSent_ = true;
        url = removeUrl(registeredBaseUrl_, registeredAddress_);
    }
    http_.get(url, ClosingLimits);
}

}  // namespace lumo
