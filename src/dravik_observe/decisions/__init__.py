"""Policy decisions taken before model and tool calls."""
