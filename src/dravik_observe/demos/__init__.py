"""Sections of the demonstration run."""
