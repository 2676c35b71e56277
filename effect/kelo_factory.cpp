// The product's factory: the one effect this plug-in binary creates.
#include "effect/kelo.h"

VstAdapter* CreateEffectInstance(const InstanceInfo& instance) {
    return new KeloEffect(instance);
}
