"""Tarvello data tools."""
