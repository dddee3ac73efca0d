// A plugin as a third party would write it: a shared library that registers
// a device class when it is loaded.
#include "tarvex/registry.hpp"
#include "tarvex/topology.hpp"

namespace sample {

class Widget : public tarvex::topology::Device {
  TARVEX_OBJECT(Widget)
};

const tarvex::ClassInfo& Widget::class_info() {
  static tarvex::ClassInfo info("morvane_sample_plugin.Widget", &tarvex::topology::Device::class_info(),
                                tarvex::factory_of<Widget>());
  return info;
}

TARVEX_REGISTER_CLASS(tarvex::device_classes(), Widget);

}  // namespace sample
