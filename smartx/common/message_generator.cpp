#include "smartx/common/message_generator.h"

#include "ace/Log_Msg.h"

namespace smartx {

const char* const CLOUDTOWER_URI_LIST[CLOUDTOWER_URI_COUNT] = {
    "/v2/api/login",
    "/v2/api/get-my-info",
    "/v2/api/get-user-role-nexts",
    "/v2/api/get-datacenters",
    "/v2/api/get-clusters",
    "/v2/api/get-hosts",
    "/v2/api/get-vm-folders",
    "/v2/api/get-vms",
    "/v2/api/get-vm-snapshots",
    "/v2/api/get-vm-disks",
    "/v2/api/get-vm-nics",
    "/v2/api/get-vm-volumes",
    "/v2/api/get-vm-volume-snapshots",
    "/v2/api/get-iscsi-luns",
    "/v2/api/get-iscsi-lun-snapshots",
    "/v2/api/get-labels",
    "/v2/api/get-data-stores",
    "/v2/api/get-vlans",
    "/v2/api/get-vdses",
    "/v2/api/get-gpu-devices",
    "/v2/api/get-usb-devices",
    "/v2/api/get-elf-storage-policies",
    "/v2/api/get-tasks",
    "/v2/api/get-version",
    "/v2/api/create-vm",
    "/v2/api/create-vm-snapshot",
    "/v2/api/update-vm-basic-info",
    "/v2/api/update-vm-advanced-options",
    "/v2/api/create-vm-volume",
    "/v2/api/create-vm-volume-snapshot",
    "/v2/api/add-vm-disk",
    "/v2/api/update-vm-disk",
    "/v2/api/remove-vm-disk",
    "/v2/api/delete-vm-snapshot",
    "/v2/api/delete-vm",
    "/v2/api/delete-vm-volume-snapshot",
    "/v2/api/delete-vm-volume",
    "/v2/api/start-vm",
    "/v2/api/restart-vm",
    "/v2/api/force-restart-vm",
    "/v2/api/shutdown-vm",
    "/v2/api/poweroff-vm",
    "/v2/api/suspend-vm",
    "/v2/api/resume-vm",
    "/v2/api/move-vm-to-recycle",
    "/v2/api/recover-vm-from-recycle",
    "/v2/api/add-labels-to-resources",
};

static_assert(static_cast<int>(Message::ERROR) == CLOUDTOWER_URI_COUNT,
              "one path per type below ERROR");

std::string get_uri(const Version& version, Message::Type type) {
    // The version query runs before the number is known, so it is exempt.
    const bool accepted =
        version.is_cloudtower_platform() && (version.supported() || type == Message::QUERY_VERSION);
    if (!accepted) {
        ACE_ERROR(
            (LM_ERROR,
             ACE_TEXT("Failed to get cloudtower uri, details: version %C is not supported.\n"),
             version.str().c_str()));
        return std::string();
    }
    if (static_cast<int>(type) < 0 || static_cast<int>(type) >= CLOUDTOWER_URI_COUNT)
        return std::string();
    return CLOUDTOWER_URI_LIST[type];
}

bool Message_Generator::generate(const Request& request, std::string& uri,
                                 json_spirit::Value& body) const {
    if (request.empty()) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to generate request, it's empty.\n")));
        return false;
    }
    uri = get_uri(request.version(), request.type);
    if (uri.empty())
        return false;
    body = request.dump();
    return true;
}

bool Message_Generator::generate(int, const json_spirit::Value& body, Response& response) const {
    if (response.empty()) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to generate request, it's empty.\n")));
        return false;
    }
    return response.load(body);
}

}  // namespace smartx
