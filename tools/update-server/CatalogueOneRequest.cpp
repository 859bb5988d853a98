// The catalogue as a process that answers one request uses it: BIRD replies written as they are
// encoded, and versions taken from and kept in the on-disk index.
#include "BirdReplyStream.h"
#include "Catalogue.h"
#include "VersionIndex.h"

namespace updateserver {

void Catalogue::answerOneRequest() {
    index_ = std::make_shared<const VersionIndex>(root_);
}

std::string Catalogue::indexKey(const FileIdentity& identity) const {
    return std::to_string(identity.device) + " " + std::to_string(identity.inode) + " " +
           std::to_string(identity.size) + " " + std::to_string(identity.modifiedNs) + " " +
           std::to_string(identity.changedNs) + " limit " + std::to_string(imageLimit_);
}

std::shared_ptr<BirdReplySource> Catalogue::birdSource(const CatalogueBuild& build,
                                                       std::vector<std::string>& warnings) const {
    auto source = std::make_shared<BirdReplySource>();
    std::string problem = build.path.string() + ": read failed";
    if (!identityOf(build.path) || !inside(build.path) ||
        !source->open(build.path.string(), fileLimit_, problem)) {
        warnings.push_back(problem);
        return nullptr;
    }
    return source;
}

} // namespace updateserver
