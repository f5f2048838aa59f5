package app;

import java.util.function.IntUnaryOperator;

// Loaded only by Unloading's own class loaders, between two rounds of PluginA.
public class PluginB implements IntUnaryOperator {
    @Override
    public int applyAsInt(int value) {
        return thrice(value) + 1;
    }

    private static int thrice(int value) {
        return value * 3;
    }
}
