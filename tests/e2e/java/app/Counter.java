package app;

public class Counter {
    private final int value;

    public Counter(int value) {
        this.value = value;
    }

    public int value() {
        return value;
    }
}
