"""Customer-specific parts of the Tarvello tools."""
