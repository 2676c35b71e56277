// The factory of the test plug-in binary.
#include "tests/vst/test_effect.h"

EffectBase* CreateEffectInstance(const InstanceInfo& instance) {
    return new TestEffect(instance);
}
