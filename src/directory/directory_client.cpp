#include "directory/directory_client.h"

namespace lumo {

DirectoryClient::ListResult DirectoryClient::fetchList(std::string_view baseUrl)
{
    ListResult result;
    const HttpReply reply = http_.get(listUrl(baseUrl), InteractiveLimits);
    if (!reply.opened) return result;
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
    groupRegistered_ = true;
    return AddStatus::Registered;
}

void DirectoryClient::removeRegistration(std::string_view baseUrl, Ipv4 ownAddress)
{
    if (!groupRegistered_ || removalSent_) return;
    removalSent_ = true;
    http_.get(removeUrl(baseUrl, ownAddress), ClosingLimits);
}

}  // namespace lumo
