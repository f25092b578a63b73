// DownloadResult and _create_safe_file_name.
#include "class_spec.hpp"
#include "runtime.hpp"

namespace nembra {

int make_download_constants() noexcept { return 0; }

}  // namespace nembra
