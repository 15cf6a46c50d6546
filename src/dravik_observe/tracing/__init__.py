"""OpenTelemetry span capture for dravik_observe runs."""
