"""Hypothesis profiles: "ci" (default, deterministic, quick), "emulated" (the same, fewer
examples) and "long" (HYPOTHESIS_PROFILE=long)."""
import os

from hypothesis import settings

settings.register_profile("ci", max_examples=500, stateful_step_count=40, derandomize=True,
                          database=None, deadline=None, print_blob=True)
settings.register_profile("long", max_examples=10000, stateful_step_count=60, deadline=None)
# Under an emulator (nox -t linux-aarch64), where everything takes ten times as long.
settings.register_profile("emulated", settings.get_profile("ci"), max_examples=100)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))
