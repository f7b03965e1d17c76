"""Helpers of the kavex stand-in SDK (see ``base_utils.draw_roi``)."""
