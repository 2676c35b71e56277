// The product's factory: the one effect this plug-in binary creates.
#include "effect/ui/kelo_plugin.h"

EffectBase* CreateEffectInstance(const InstanceInfo& instance) {
    return new KeloPlugin(instance);
}
