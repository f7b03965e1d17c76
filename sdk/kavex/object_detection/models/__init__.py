"""Detector models of the kavex stand-in SDK (see ``builder.ObjectDetect``)."""
