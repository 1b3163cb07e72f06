"""Hypothesis runs without its timing checks: on a slow or busy machine a
correct example may take longer than its default deadline."""
from hypothesis import HealthCheck, settings

settings.register_profile("any_machine", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("any_machine")
