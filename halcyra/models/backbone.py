"""The trunk's shared settings.

BN_MOMENTUM: the trunk's batch-norm momentum (0.03, the weight of the new
batch statistic in the running average, as torch.nn.BatchNorm2d counts it),
shared with the feature neck so that every batch-norm layer of the model
averages its running statistics at the same rate."""

BN_MOMENTUM = 0.03
