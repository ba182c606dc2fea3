// menubar.h - the Pocket PC menu bar of the simulated device.
#pragma once

#include "platform/platform.h"

#include <string>
#include <vector>

namespace device {

class MenuBar {
  public:
    struct Button {
        std::u16string caption;
        int command;
        int state;
        int style;
    };
    std::vector<Button> buttons;
    UINT resource_id = 0;
};

} // namespace device
