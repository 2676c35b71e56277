// The product's factory: the one effect this plug-in binary creates.
#include "effect/ui/kelo_plugin.h"

VstAdapter* CreateEffectInstance(const InstanceInfo& instance) {
    return new KeloPlugin(instance);
}
