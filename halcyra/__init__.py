"""halcyra: anchors and decoding, feature neck, training criterion and inference
postprocess of a multi-task dense detector, as compiled extension modules."""
import torch  # noqa: F401  (the extension modules need torch's libraries loaded)

__version__ = "0.1.0"
