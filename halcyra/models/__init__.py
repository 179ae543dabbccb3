"""halcyra package marker."""
