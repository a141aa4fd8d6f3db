// The document dialog shown before the wizard: a licence agreement that must
// be accepted (Next> is enabled by a click on the accept check box) or a user
// guide (Next> available at once). The document is rich text streamed into a
// read-only viewer with link detection on.
// Both return 0 when the user leaves with Next>, -1 otherwise (Exit or the
// title-bar close button).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace upkit::ui {

int ShowLicenseDialog(const std::string& caption, const std::string& heading,
                      const uint8_t* document, size_t size, const std::string& accept_text,
                      const std::string& address, const std::string& next_text,
                      const std::string& exit_text);

int ShowUserGuideDialog(const std::string& caption, const std::string& heading,
                        const uint8_t* document, size_t size, const std::string& address,
                        const std::string& next_text, const std::string& exit_text);

}  // namespace upkit::ui
