"""Preparing rows of data as model inputs."""
