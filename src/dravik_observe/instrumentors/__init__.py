"""Instrumentation helpers shared by the LLM client wrappers."""
