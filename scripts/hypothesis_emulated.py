"""pytest plugin for runs under emulation: hypothesis's per-example time
limit measures the emulator, not the module, so it is lifted."""
from hypothesis import settings

settings.register_profile("emulated", deadline=None)
settings.load_profile("emulated")
