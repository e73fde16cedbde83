#include "common/handles.h"
#include "launch/launch.h"
#include "vantor_config.h"

#include <cstdint>
#include <string_view>

namespace {

constexpr uint64_t ServerConfigLimit = 1048576;

bool Contains(std::string_view content, std::string_view fragment) {
    return content.size() >= fragment.size() && content.find(fragment) != std::string_view::npos;
}

}  // namespace

bool CheckServerConfiguration(const std::wstring& path) {
    unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 ||
        static_cast<uint64_t>(size.QuadPart) > ServerConfigLimit) {
        return false;
    }
    std::string content(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!::ReadFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &read,
                    nullptr)) {
        return false;
    }
    file.reset();
    content.resize(read);

    const std::string address = std::string("<address>") + GameServerHostBytes + "</address>";
    const std::string port = std::string("<port>") + GameServerPortBytes + "</port>";
    return Contains(content, address) && Contains(content, port);
}
