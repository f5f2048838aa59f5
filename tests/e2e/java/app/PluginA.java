package app;

import java.util.function.IntUnaryOperator;

// Loaded only by Unloading's own class loaders.
public class PluginA implements IntUnaryOperator {
    @Override
    public int applyAsInt(int value) {
        return twice(value);
    }

    private int twice(int value) {
        return value * 2;
    }
}
