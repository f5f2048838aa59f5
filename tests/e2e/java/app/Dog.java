package app;

public class Dog extends Animal {
    public Dog(String name) {
        super(name);
    }

    @Override
    public void fetch() {
        speak();
    }
}
