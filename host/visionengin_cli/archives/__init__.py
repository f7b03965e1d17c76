"""``visionengin videos``: many recorded videos analysed in parallel, by local
worker processes or as tasks on a Ray cluster, each into a folder of its own
under one results root that the status page reads like a camera root."""
